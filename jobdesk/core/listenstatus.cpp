#include "listenstatus.h"

#include "httpservices.h"
#include "urls.h"

#include <QDebug>
#include <QTime>
#include <QTimer>

namespace {

const QString kStatusKeyword = QStringLiteral("PrintErrorNumber:TIBORO,");
const QString kUnreachable = QStringLiteral("12121212");
const int kJobPollMs = 2000;
const int kPrinterPollMs = 60000;
const int kUserType = 1;

// Job-status words in the order they are looked for; the first three end the job.
struct StateWord {
    const char *word;
    bool final;
};
const StateWord kStateWords[] = {
    {"Completed", true}, {"Cancelled", true}, {"Failure", true},
    {"Queueing", false}, {"Processing", false}, {"Printing", false},
    {"2001", false}, {"3001", false},
};

} // namespace

ListenStatus::ListenStatus(QObject *parent) : QThread(parent)
{
    moveToThread(this);

    m_jobTimer = new QTimer();
    m_jobTimer->moveToThread(this);
    connect(m_jobTimer, SIGNAL(timeout()), this, SLOT(onTimeOut()));
    m_jobTimer->setInterval(kJobPollMs);

    m_printerTimer = new QTimer();
    m_printerTimer->moveToThread(this);
    connect(m_printerTimer, SIGNAL(timeout()), this, SLOT(onPrinterTimeOut()));
    m_printerTimer->setInterval(kPrinterPollMs);
}

ListenStatus::~ListenStatus()
{
    delete m_jobTimer;
    delete m_printerTimer;
}

void ListenStatus::run()
{
    m_jobTimer->start();
    m_printerTimer->start();
    exec();
    // The timers belong to this thread; stop them before it ends.
    m_jobTimer->stop();
    m_printerTimer->stop();
}

void ListenStatus::onTimeOut()
{
    if (m_jobs.isEmpty())
        return;
    // Poll a snapshot: answers never arrive before this slot returns.
    const QList<JobWatchItem> jobs = m_jobs;
    for (const JobWatchItem &job : jobs) {
        if (job.status.contains(QLatin1String("Failure")) || job.status.contains(QLatin1String("Canceled"))
            || job.status.contains(QLatin1String("Completed")))
            continue;
        HttpServices *http = new HttpServices();
        connect(http, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
                SLOT(onPrinterCallback(int, int, QString, QString, QString)));
        QString url = URL_GET_JOB_STATUS;
        url.replace(QStringLiteral("%IPADDR%"), job.printerIp);
        // UTF-8 like the ticket and part names, so a non-Latin job name still matches.
        const QByteArray body = QByteArray("jobID=") + job.jobId.toUtf8();
        http->m_jobId = job.jobId;
        http->post(url, body, kUserType, false);
    }
}

void ListenStatus::onPrinterTimeOut()
{
    const QList<PrinterWatchItem> printers = m_printers;
    for (const PrinterWatchItem &p : printers)
        queryPrinterStatus(p.ip);
}

void ListenStatus::queryPrinterStatus(QString ip)
{
    HttpServices *http = new HttpServices();
    connect(http, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
            SLOT(onPrintMessage(int, int, QString, QString, QString)));
    QString url = URL_PRINTER_STATUS;
    url.replace(QStringLiteral("%IPADDR%"), ip);
    http->get(url, kUserType);
}

void ListenStatus::onAddPrinterAsk(QString ip, QStringList printerIP, bool now)
{
    m_printers.clear();
    for (const QString &addr : printerIP)
        m_printers.append(PrinterWatchItem{addr, QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))});
    if (!now)
        return;
    if (ip.isEmpty())
        onPrinterTimeOut();
    else
        queryPrinterStatus(ip);
}

void ListenStatus::addJobWatch(QString sJobID, QString sJobDisplayName, QString sJobDateTime, QString sPrinterIp)
{
    m_jobs.append(JobWatchItem{sJobID, sJobDisplayName, QString(), sJobDateTime, sPrinterIp});
}

void ListenStatus::updateJobStatus(QString sJobiD, QString status)
{
    for (int i = 0; i < m_jobs.size();) {
        if (m_jobs[i].jobId == sJobiD) {
            m_jobs[i].status = status;
            if (status == QLatin1String("Completed") || status == QLatin1String("Canceled")
                || status == QLatin1String("Failure")) {
                m_jobs.removeAt(i);
                continue;
            }
        }
        ++i;
    }
}

void ListenStatus::removeJobId(QString sjobId)
{
    for (int i = 0; i < m_jobs.size();) {
        if (m_jobs[i].jobId == sjobId)
            m_jobs.removeAt(i);
        else
            ++i;
    }
}

void ListenStatus::onPrinterCallback(int status_code, int user_type, QString strReply, QString httpJobID, QString ip)
{
    Q_UNUSED(user_type);
    Q_UNUSED(ip);
    if (status_code != 200) {
        emit sigSendPrinterStatus(QStringLiteral("0"), httpJobID);
        return;
    }
    for (const StateWord &s : kStateWords) {
        if (strReply.contains(QLatin1String(s.word))) {
            emit sigSendPrinterStatus(QLatin1String(s.word), httpJobID);
            if (s.final)
                removeJobId(httpJobID);
            return;
        }
    }
    // A page that names no known state: the printer no longer has the job.
    emit sigSendPrinterStatus(QStringLiteral("Cancelled"), httpJobID);
    removeJobId(httpJobID);
}

void ListenStatus::onPrintMessage(int status_code, int user_type, QString strReply, QString httpJobID, QString ip)
{
    Q_UNUSED(user_type);
    Q_UNUSED(httpJobID);
    qDebug().noquote().nospace() << "status_code : " << status_code;
    qDebug().noquote().nospace() << "strReply : " << strReply;
    if (status_code != 200) {
        emit sigPrinterStatus(0, ip, QStringList{kUnreachable});
        return;
    }
    m_statusText = strReply.section(kStatusKeyword, 1, 1);
    m_errorCount = m_statusText.section(QLatin1Char(','), 0, 0).toInt(nullptr, 10);
    m_statusItems = m_statusText.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
    m_errorCodes.clear();
    // A count larger than the codes that follow takes only the codes present.
    for (int k = 1; k <= m_errorCount && k < m_statusItems.size(); ++k) {
        QString code = m_statusItems.at(k);
        code.remove(QLatin1Char('.')).remove(QLatin1Char('"'));
        m_errorCodes.append(code);
    }
    const int n = m_statusItems.value(0).toInt(nullptr, 10);
    emit sigPrinterStatus(n, ip, m_errorCodes);
    qDebug() << m_errorCodes;
}
