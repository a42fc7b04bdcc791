#include "printconfig.h"

#include "httpservices.h"
#include "urls.h"

#include <QDebug>
#include <QSystemTrayIcon>

namespace
{

const int kUserType = 1;
const int kBalloonMs = 5000;

} // namespace

void PrintConfig::onCancelJob(QString info)
{
    qDebug().noquote() << "Cancel" << info;
    // The job list names a job as its row writes it; post the id the printer knows.
    const QString jobId = jobIdOfRow(info);
    HttpServices *http = new HttpServices();
    connect(http, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
            SLOT(onJobCancel(int, int, QString, QString, QString)));
    http->m_jobId = jobId;
    QString url = URL_CANCEL_JOB;
    for (const JobWatchItem &item : qAsConst(m_jobWatchList)) {
        if (item.jobId == jobId)
            url.replace(QStringLiteral("%IPADDR%"), item.printerIp);
    }
    qDebug().noquote().nospace() << "Url: " << url;
    http->post(url, QByteArray("jobID=") + jobId.toUtf8(), kUserType, false);
}

void PrintConfig::onJobCancel(int status_code, int user_type, QString strReply, QString sJobId, QString ip)
{
    Q_UNUSED(user_type);
    Q_UNUSED(ip);
    if (status_code == 200) {
        emit sigRemoveJob(sJobId);
        // Only the job in the pipeline may be ended here: the fields of an
        // earlier try or of another job's upload name other files.
        if (!m_pipelineJob.isEmpty() && m_pipelineJob == sJobId)
            clearStatus();
    }
    qDebug().noquote().nospace() << "time start  " << status_code << " " << strReply;
}

void PrintConfig::removeJobStatus(QString jobId, QString printerAddress)
{
    qDebug().noquote() << "print ok or canceled and remove job status on server";
    HttpServices *http = new HttpServices();
    connect(http, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
            SLOT(onRemoveJobStatus(int, int, QString, QString, QString)));
    http->m_jobId = jobId;
    QString url = URL_REMOVE_JOB_STATUS;
    url.replace(QStringLiteral("%IPADDR%"), printerAddress);
    qDebug().noquote().nospace() << "Url: " << url;
    qDebug().noquote().nospace() << "job id : " << jobId;
    http->post(url, QByteArray("jobID=") + jobId.toUtf8(), kUserType, false);
}

void PrintConfig::onRemoveJobStatus(int status_code, int user_type, QString strReply, QString sJobId,
                                    QString ip)
{
    Q_UNUSED(user_type);
    Q_UNUSED(sJobId);
    Q_UNUSED(ip);
    if (status_code == 200 && strReply.contains(QLatin1String("1001"))) {
        if (m_trayIcon)
            m_trayIcon->showMessage(tr("消息提示"), tr("打印完成"), QSystemTrayIcon::Information, kBalloonMs);
    }
}
