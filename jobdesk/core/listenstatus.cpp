#include "listenstatus.h"

#include <QTimer>

ListenStatus::ListenStatus(QObject *parent) : QThread(parent) {}

ListenStatus::~ListenStatus()
{
    delete m_jobTimer;
    delete m_printerTimer;
}

void ListenStatus::run()
{
    exec();
}

void ListenStatus::queryPrinterStatus(QString) {}
void ListenStatus::onTimeOut() {}
void ListenStatus::onPrinterTimeOut() {}
void ListenStatus::onAddPrinterAsk(QString, QStringList, bool) {}
void ListenStatus::addJobWatch(QString, QString, QString, QString) {}
void ListenStatus::updateJobStatus(QString, QString) {}
void ListenStatus::removeJobId(QString) {}
void ListenStatus::onPrinterCallback(int, int, QString, QString, QString) {}
void ListenStatus::onPrintMessage(int, int, QString, QString, QString) {}
