// Status tracker: polls job states every 2 s and printer states every 60 s.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

class QTimer;

struct JobWatchItem
{
    QString jobId;
    QString displayName;
    QString status;
    QString dateTime;
    QString printerIp;
};

struct PrinterWatchItem
{
    QString ip;
    QString addedTime;
};

class ListenStatus : public QThread
{
    Q_OBJECT
public:
    explicit ListenStatus(QObject *parent = nullptr);
    ~ListenStatus() override;

    void queryPrinterStatus(QString ip);

protected:
    void run() override;

signals:
    void sigSendPrinterStatus(QString status, QString jobPrintID);
    void sigPrinterStatus(int status, QString ip, QStringList errorList);

public slots:
    void onTimeOut();
    void onPrinterTimeOut();
    void onAddPrinterAsk(QString ip, QStringList printerIP, bool now);
    void addJobWatch(QString sJobID, QString sJobDisplayName, QString sJobDateTime, QString sPrinterIp);
    void updateJobStatus(QString sJobiD, QString status);
    void removeJobId(QString sjobId);
    void onPrinterCallback(int status_code, int user_type, QString strReply, QString httpJobID, QString ip);
    void onPrintMessage(int status_code, int user_type, QString strReply, QString httpJobID, QString ip);

private:
    QTimer *m_jobTimer = nullptr;
    QList<JobWatchItem> m_jobs;
    QTimer *m_printerTimer = nullptr;
    QString m_statusText;
    QStringList m_errorCodes;
    int m_errorCount = 0;
    QStringList m_statusItems;
    QList<PrinterWatchItem> m_printers;
};
