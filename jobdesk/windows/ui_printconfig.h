// Form of the job-submit dialog, set up on the job controller's window.
#pragma once

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QSpacerItem>
#include <QTextEdit>
#include <QWidget>

class Ui_PrintConfigClass
{
public:
    QLabel *label = nullptr;
    QLabel *label_JobName = nullptr;
    QLabel *label_3 = nullptr;
    QLabel *label_4 = nullptr;
    QTextEdit *textEdit = nullptr;
    QPushButton *pushButton_ok = nullptr;
    QPushButton *pushButton_cancel = nullptr;
    QFrame *frame = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QRadioButton *radioButton = nullptr;
    QRadioButton *radioButton_1 = nullptr;
    QRadioButton *radioButton_2 = nullptr;
    QRadioButton *radioButton_3 = nullptr;
    QRadioButton *radioButton_4 = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;

    void setupUi(QWidget *PrintConfigClass)
    {
        label = new QLabel(PrintConfigClass);
        label_JobName = new QLabel(PrintConfigClass);
        label_3 = new QLabel(PrintConfigClass);
        label_4 = new QLabel(PrintConfigClass);
        textEdit = new QTextEdit(PrintConfigClass);
        pushButton_ok = new QPushButton(PrintConfigClass);
        pushButton_ok->setObjectName(QStringLiteral("pushButton_ok"));
        pushButton_cancel = new QPushButton(PrintConfigClass);
        pushButton_cancel->setObjectName(QStringLiteral("pushButton_cancel"));
        frame = new QFrame(PrintConfigClass);
        horizontalLayout = new QHBoxLayout(frame);
        radioButton = new QRadioButton(frame);
        radioButton_1 = new QRadioButton(frame);
        radioButton_2 = new QRadioButton(frame);
        radioButton_3 = new QRadioButton(frame);
        radioButton_4 = new QRadioButton(frame);
        horizontalLayout->addWidget(radioButton);
        horizontalLayout->addWidget(radioButton_1);
        horizontalLayout->addWidget(radioButton_2);
        horizontalLayout->addWidget(radioButton_3);
        horizontalLayout->addWidget(radioButton_4);
        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout->addItem(horizontalSpacer);
        retranslateUi(PrintConfigClass);
        QMetaObject::connectSlotsByName(PrintConfigClass);
    }

    void retranslateUi(QWidget *) {}
};
