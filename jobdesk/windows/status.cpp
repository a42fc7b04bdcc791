#include "status.h"

#include <QCloseEvent>

Status::Status(QWidget *parent) : QWidget(parent) {}

Status::~Status() {}

bool Status::isPrinterListChanged()
{
    return false;
}

QStringList Status::refreshPrinterList()
{
    return m_printerNames;
}

QString Status::statusCodeToText(int)
{
    return QString();
}

void Status::onWritePrinterStatus(QString, QStringList) {}
void Status::slotprintStatus(QModelIndex) {}
void Status::showContextMenu(const QPoint &) {}
void Status::exportPrintLogMenu() {}
void Status::on_pushButton_clicked() {}
void Status::on_pushButton_2_clicked() {}

void Status::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
