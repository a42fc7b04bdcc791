// Form of the job-submit dialog, set up on the job controller's window.
#pragma once

#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QRect>
#include <QSizePolicy>
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
        if (PrintConfigClass->objectName().isEmpty())
            PrintConfigClass->setObjectName(QString::fromUtf8("PrintConfigClass"));
        PrintConfigClass->resize(440, 231);
        QSizePolicy sizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        sizePolicy.setHorizontalStretch(0);
        sizePolicy.setVerticalStretch(0);
        sizePolicy.setHeightForWidth(PrintConfigClass->sizePolicy().hasHeightForWidth());
        PrintConfigClass->setSizePolicy(sizePolicy);
        label = new QLabel(PrintConfigClass);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(15, 11, 54, 16));
        label_JobName = new QLabel(PrintConfigClass);
        label_JobName->setObjectName(QString::fromUtf8("label_JobName"));
        label_JobName->setGeometry(QRect(72, 8, 341, 21));
        label_3 = new QLabel(PrintConfigClass);
        label_3->setObjectName(QString::fromUtf8("label_3"));
        label_3->setGeometry(QRect(15, 55, 54, 21));
        label_4 = new QLabel(PrintConfigClass);
        label_4->setObjectName(QString::fromUtf8("label_4"));
        label_4->setGeometry(QRect(15, 85, 54, 21));
        textEdit = new QTextEdit(PrintConfigClass);
        textEdit->setObjectName(QString::fromUtf8("textEdit"));
        textEdit->setGeometry(QRect(15, 115, 411, 65));
        textEdit->setFocusPolicy(Qt::WheelFocus);
        textEdit->setFrameShape(QFrame::WinPanel);
        textEdit->setFrameShadow(QFrame::Sunken);
        pushButton_ok = new QPushButton(PrintConfigClass);
        pushButton_ok->setObjectName(QString::fromUtf8("pushButton_ok"));
        pushButton_ok->setGeometry(QRect(279, 190, 65, 32));
        pushButton_cancel = new QPushButton(PrintConfigClass);
        pushButton_cancel->setObjectName(QString::fromUtf8("pushButton_cancel"));
        pushButton_cancel->setGeometry(QRect(360, 190, 65, 32));
        frame = new QFrame(PrintConfigClass);
        frame->setObjectName(QString::fromUtf8("frame"));
        frame->setGeometry(QRect(70, 43, 351, 41));
        frame->setFrameShape(QFrame::StyledPanel);
        frame->setFrameShadow(QFrame::Raised);
        horizontalLayout = new QHBoxLayout(frame);
        horizontalLayout->setSpacing(6);
        horizontalLayout->setContentsMargins(11, 11, 11, 11);
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
        radioButton = new QRadioButton(frame);
        radioButton->setObjectName(QString::fromUtf8("radioButton"));
        QSizePolicy sizePolicy1(QSizePolicy::Fixed, QSizePolicy::Fixed);
        sizePolicy1.setHorizontalStretch(0);
        sizePolicy1.setVerticalStretch(0);
        sizePolicy1.setHeightForWidth(radioButton->sizePolicy().hasHeightForWidth());
        radioButton->setSizePolicy(sizePolicy1);

        horizontalLayout->addWidget(radioButton);

        radioButton_1 = new QRadioButton(frame);
        radioButton_1->setObjectName(QString::fromUtf8("radioButton_1"));
        sizePolicy1.setHeightForWidth(radioButton_1->sizePolicy().hasHeightForWidth());
        radioButton_1->setSizePolicy(sizePolicy1);

        horizontalLayout->addWidget(radioButton_1);

        radioButton_2 = new QRadioButton(frame);
        radioButton_2->setObjectName(QString::fromUtf8("radioButton_2"));
        sizePolicy1.setHeightForWidth(radioButton_2->sizePolicy().hasHeightForWidth());
        radioButton_2->setSizePolicy(sizePolicy1);

        horizontalLayout->addWidget(radioButton_2);

        radioButton_3 = new QRadioButton(frame);
        radioButton_3->setObjectName(QString::fromUtf8("radioButton_3"));
        QSizePolicy sizePolicy2(QSizePolicy::Fixed, QSizePolicy::Fixed);
        sizePolicy2.setHorizontalStretch(1);
        sizePolicy2.setVerticalStretch(1);
        sizePolicy2.setHeightForWidth(radioButton_3->sizePolicy().hasHeightForWidth());
        radioButton_3->setSizePolicy(sizePolicy2);

        horizontalLayout->addWidget(radioButton_3);

        radioButton_4 = new QRadioButton(frame);
        radioButton_4->setObjectName(QString::fromUtf8("radioButton_4"));
        sizePolicy1.setHeightForWidth(radioButton_4->sizePolicy().hasHeightForWidth());
        radioButton_4->setSizePolicy(sizePolicy1);

        horizontalLayout->addWidget(radioButton_4);

        horizontalSpacer = new QSpacerItem(273, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);

        horizontalLayout->addItem(horizontalSpacer);

        retranslateUi(PrintConfigClass);

        QMetaObject::connectSlotsByName(PrintConfigClass);
    }

    void retranslateUi(QWidget *PrintConfigClass)
    {
        PrintConfigClass->setWindowTitle(QCoreApplication::translate("PrintConfigClass", "提交作业", nullptr));
        label->setText(QCoreApplication::translate("PrintConfigClass", "作业名：", nullptr));
        label_JobName->setText(QString());
        label_3->setText(QCoreApplication::translate("PrintConfigClass", "密  级：", nullptr));
        label_4->setText(QCoreApplication::translate("PrintConfigClass", "备  注：", nullptr));
        pushButton_ok->setText(QCoreApplication::translate("PrintConfigClass", "打印", nullptr));
        pushButton_cancel->setText(QCoreApplication::translate("PrintConfigClass", "取消", nullptr));
        radioButton->setText(QString());
        radioButton_1->setText(QString());
        radioButton_2->setText(QString());
        radioButton_3->setText(QString());
        radioButton_4->setText(QString());
    }
};
