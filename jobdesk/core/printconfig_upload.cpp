#include "printconfig.h"

#include "httpservices.h"
#include "jobcopy.h"
#include "listenfile.h"
#include "spoolfiles.h"
#include "textcipher.h"
#include "urls.h"

#include <QDateTime>
#include <QDebug>
#include <QSystemTrayIcon>
#include <QTime>

namespace
{

const QString kKeyText = QString::fromLatin1(kCipherKeyText);
const QString kFailed = QStringLiteral("打印失败");
const int kUserType = 1;
const int kBalloonMs = 5000;

} // namespace

void PrintConfig::sendPrintJob()
{
    // Each part waits in the one m_uploadLoop: a second upload started from
    // inside that wait would send the job again and could not wait itself.
    if (m_uploading) {
        qDebug().noquote() << "upload already running, not started again:" << JobName;
        return;
    }
    m_uploading = true;
    runUpload();
    m_uploading = false;
    // The job has left the pipeline: a cancel answered from now on only ends its tracking.
    m_pipelineJob.clear();
}

void PrintConfig::runUpload()
{
    const QString ticket = extendedJobTicket();
    qDebug().noquote() << "sendXml:" << ticket;

    const QString name = SpoolFile.section(QLatin1Char('/'), -1);
    QString url = URL_PRINT;
    url.replace(QStringLiteral("%IPADDR%"), PrinterAddress);

    m_readBuffer.resize(kReadBufferSize);
    QString jobInfo;
    m_uploadClients.clear();
    m_uploadFailure.clear();
    // The job's own copy goes out, exactly the bytes that passed the
    // completeness check: nothing done to the spool file since reaches the
    // printer. Without a copy no data part goes out, as for a file that
    // cannot be opened. Held here, as a cancel may end the job meanwhile.
    const std::shared_ptr<const jobcopy::JobCopy> job = m_jobCopy;
    const std::shared_ptr<const spoolfiles::CheckedFile> checked = m_checkedSpool;
    const QString spoolFile = SpoolFile;
    const qint64 size = job ? job->size() : 0;
    qint64 sent = 0;
    for (int n = 1; sent < size; ++n) {
        if (!g_spoolBusy.testAndSetOrdered(1, 1))
            break;
        m_readBuffer.fill('\0');
        HttpServices *http = new HttpServices();
        http->m_jobId = JobName;
        m_uploadClients.append(http);
        connect(http, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
                SLOT(onMessageCallback(int, int, QString, QString, QString)));
        jobInfo = QString::fromLatin1(http->encrypt(ticket, kKeyText).toBase64());
        const int got = int(qMin<qint64>(kReadBufferSize, size - sent));
        if (!job->readAt(sent, m_readBuffer.data(), got)) {
            // A read error ends the upload as a printer fault would: the
            // printer never gets a job with a hole in it.
            qDebug().noquote() << "read error on the copy of" << SpoolFile << "at byte" << sent << "of" << size;
            http->deleteLater();
            m_uploadClients.removeLast();
            m_uploadFailure = kFailed;
            g_spoolBusy.storeRelease(2);
            break;
        }
        sent += got;
        QString partName = name;
        partName.replace(QStringLiteral(".pcl"), QStringLiteral("_%1.pcl").arg(n));
        qDebug().noquote() << "--------------" << n;
        qDebug().noquote() << "request jobid:" << JobName << "title:" << partName << "currentPage:" << n;
        http->uploadJob(url, jobInfo, partName, QByteArray::fromRawData(m_readBuffer.constData(), got),
                        kUserType);
        m_uploadLoop.exec(QEventLoop::EventLoopExec);
    }

    // Its writer went on after the check (or another member changed it): what
    // the printer has is no longer what the spool file holds, so the printer
    // is not told to print it.
    if (g_spoolBusy.testAndSetOrdered(1, 1) && checked && checked->changedAt(spoolFile)) {
        qDebug().noquote() << "spool file changed after its check, job not finished:" << spoolFile;
        m_uploadFailure = kFailed;
        g_spoolBusy.storeRelease(2);
    }
    if (!g_spoolBusy.testAndSetOrdered(1, 1)) {
        endFailedUpload();
        return;
    }
    HttpServices *last = new HttpServices();
    last->m_jobId = JobName;
    connect(last, SIGNAL(http_finished(int, int, QString, QString, QString)), this,
            SLOT(onMessageCallback(int, int, QString, QString, QString)));
    QString endName = name;
    endName.replace(QStringLiteral(".pcl"), QStringLiteral("_end.pcl"));
    last->uploadJob(url, jobInfo, endName, QByteArrayLiteral("end"), kUserType);
    m_uploadLoop.exec(QEventLoop::EventLoopExec);
    // A refused final part leaves the printer without a job to print.
    if (!g_spoolBusy.testAndSetOrdered(1, 1)) {
        endFailedUpload();
        return;
    }
    addJobToList();
}

void PrintConfig::endFailedUpload()
{
    qDebug().noquote() << "JOB FAILED";
    updateJobRecord(JobName, kFailed);
    // Listed with its end mark, so that it leaves the list like any ended job.
    FileName.replace(QLatin1Char('|'), QLatin1Char('_'));
    const QString state = m_uploadFailure.isEmpty() ? kFailed : m_uploadFailure;
    mPrinterTask.m_workFileList.append(
        QStringLiteral("%1|%2|%3|%4|%5")
            .arg(jobRowId(JobName), FileName, state,
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                 QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))));
    mPrinterTask.updateTaskTable();
}

void PrintConfig::onMessageCallback(int status_code, int user_type, QString strReply, QString jobid,
                                    QString ip)
{
    Q_UNUSED(user_type);
    Q_UNUSED(ip);
    QString balloon;
    QString rowState;
    if (status_code == 200) {
        if (strReply.contains(QLatin1String("1001"))) {
            ++mFlag;
            qDebug().noquote() << "response jobid:" << jobid << "mFlag:" << mFlag;
        } else if (strReply.contains(QLatin1String("2001"))) {
            balloon = tr("权限拒绝打印！");
            rowState = QStringLiteral("打印失败:权限拒绝打印！");
        } else if (strReply.contains(QLatin1String("3001"))) {
            balloon = tr("打印机异常.");
            rowState = QStringLiteral("打印失败:打印机异常！");
        }
    } else {
        balloon = tr("打印机异常");
        rowState = QStringLiteral("打印失败:打印机异常！");
    }

    if (!balloon.isEmpty()) {
        if (m_trayIcon)
            m_trayIcon->showMessage(tr("消息提示"), balloon, QSystemTrayIcon::Information, kBalloonMs);
        // Earlier jobs still watched whose id occurs in this spool path end here.
        for (int i = 0; i < m_jobWatchList.size();) {
            // An empty id (a spool file named ".pcl") would match every path.
            const QString &id = m_jobWatchList.at(i).jobId;
            if (id.isEmpty() || !RemoveFile.contains(id)) {
                ++i;
                continue;
            }
            QStringList &rows = mPrinterTask.m_workFileList;
            for (int r = 0; r < rows.size(); ++r) {
                const QString rowJob = jobIdOfRow(rows.at(r).section(QLatin1Char('|'), 0, 0));
                if (rowJob.isEmpty() || !RemoveFile.contains(rowJob))
                    continue;
                rows[r] = withRowState(rows.at(r), rowState) + QLatin1Char('|') +
                          QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
                mPrinterTask.updateTaskTable();
            }
            m_jobWatchList.removeAt(i);
        }
        m_uploadFailure = rowState;
        g_spoolBusy.storeRelease(2);
    }
    m_uploadLoop.quit();
}

void PrintConfig::addJobToList()
{
    JobWatchItem item;
    item.jobId = JobName;
    FileName.replace(QLatin1Char('|'), QLatin1Char('_'));
    item.displayName = FileName;
    item.dateTime = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    item.printerIp = PrinterAddress;
    m_jobWatchList.append(item);
    emit sigListenStatus(item.jobId, item.displayName, item.dateTime, item.printerIp);
    // One-pass substitution: a "%1" inside a job or file name stays as it is.
    mPrinterTask.m_workFileList.append(
        QStringLiteral("%1|%2|%3|%4")
            .arg(jobRowId(item.jobId), item.displayName, tr("等待中"), item.dateTime));
    mPrinterTask.updateTaskTable();
    qDebug().noquote() << "add :" << item.jobId << item.displayName << item.dateTime << item.printerIp;
}

QString PrintConfig::jobRowId(const QString &jobId)
{
    // A job id is the last section of a path, so it never holds "/": the
    // written id stays apart from every other job's ("a|b" is not "a_b").
    QString id = jobId;
    return id.replace(QLatin1Char('|'), QLatin1Char('/'));
}

QString PrintConfig::jobIdOfRow(const QString &rowId)
{
    QString id = rowId;
    return id.replace(QLatin1Char('/'), QLatin1Char('|'));
}

QString PrintConfig::withRowState(const QString &row, const QString &state)
{
    QStringList fields = row.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    while (fields.size() < 3)
        fields.append(QString());
    fields[2] = state;
    return fields.join(QLatin1Char('|'));
}
