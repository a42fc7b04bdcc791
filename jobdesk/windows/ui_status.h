// Form of the printer status window.
#pragma once

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QLabel>
#include <QListView>
#include <QMetaObject>
#include <QPushButton>
#include <QRect>
#include <QTextEdit>
#include <QWidget>

class Ui_Status
{
public:
    QListView *listView = nullptr;
    QTextEdit *textEdit = nullptr;
    QPushButton *pushButton = nullptr;
    QPushButton *pushButton_2 = nullptr;
    QLabel *label = nullptr;

    void setupUi(QWidget *Status)
    {
        if (Status->objectName().isEmpty())
            Status->setObjectName(QString::fromUtf8("Status"));
        Status->resize(770, 459);
        listView = new QListView(Status);
        listView->setObjectName(QString::fromUtf8("listView"));
        listView->setGeometry(QRect(10, 10, 256, 441));
        listView->setContextMenuPolicy(Qt::CustomContextMenu);
        listView->setEditTriggers(QAbstractItemView::NoEditTriggers);
        textEdit = new QTextEdit(Status);
        textEdit->setObjectName(QString::fromUtf8("textEdit"));
        textEdit->setGeometry(QRect(270, 10, 491, 411));
        textEdit->setReadOnly(true);
        pushButton = new QPushButton(Status);
        pushButton->setObjectName(QString::fromUtf8("pushButton"));
        pushButton->setGeometry(QRect(570, 430, 89, 25));
        pushButton_2 = new QPushButton(Status);
        pushButton_2->setObjectName(QString::fromUtf8("pushButton_2"));
        pushButton_2->setGeometry(QRect(670, 430, 89, 25));
        label = new QLabel(Status);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(280, 430, 81, 17));

        retranslateUi(Status);

        QMetaObject::connectSlotsByName(Status);
    }

    void retranslateUi(QWidget *Status)
    {
        Status->setWindowTitle(QCoreApplication::translate("Status", "打印机状态监控", nullptr));
        pushButton->setText(QCoreApplication::translate("Status", "立即刷新", nullptr));
        pushButton_2->setText(QCoreApplication::translate("Status", "清空日志", nullptr));
        label->setText(QString());
    }
};
