#include "printertask.h"

#include <QCloseEvent>

PrinterTask::PrinterTask(QWidget *parent) : QWidget(parent) {}

PrinterTask::~PrinterTask() {}

void PrinterTask::updateTaskTable() {}
void PrinterTask::slotPrinterTaskCancel(QModelIndex) {}

void PrinterTask::slotTaskcancel()
{
    emit sigTaskcancel(m_cancelTaskId);
}

void PrinterTask::onTimeOut() {}

void PrinterTask::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
