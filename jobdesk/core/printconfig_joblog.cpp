#include "printconfig.h"

#include "joblogdb.h"
#include "paths.h"

#include <QDateTime>

namespace {

const QString kTimeFormat = QStringLiteral("yyyyMMdd hh:mm:ss");

} // namespace

void PrintConfig::insertJobRecord()
{
    JobLogDb db;
    // The insert makes the printer's folder when it is missing.
    const QString dbPath = paths::jobLogFile(JPrinterName);

    JobRecord r;
    r.jobName = JobName;
    r.JobType = QStringLiteral("1");
    r.JobName = FileName;
    r.UserName = DomainAccount;
    r.CNName = DomainAccount;
    r.DepName = DepName;
    r.Barcode = BarcodeText;
    r.BarcodeText = BarcodeText;
    r.DirectionName = QStringLiteral("");
    r.SecLevelName = QStringLiteral("");
    r.UseName = QStringLiteral("");
    r.CreateTime = QDateTime::currentDateTime().toString(kTimeFormat);
    r.JobDoneTime = QStringLiteral("");
    r.Comment = QStringLiteral("");
    r.PageCount = QString::number(Pages);
    r.Copies = QString::number(Copies);
    // 32-bit signed product; multiplied unsigned so a huge count wraps instead of overflowing.
    r.ActualTotalPages = QString::number(qint32(quint32(Pages) * quint32(Copies)));
    r.Color = Color;
    r.MediaType = QString::number(PaperSize);
    r.Duplex = QString::number(Duplex);
    r.DeviceName = JPrinterName;
    r.DeviceIP = JPrinterName;
    r.DeviceID = JPrinterName;
    r.ClientIP = IPAddr;
    r.ClientName = DomainAccount;
    r.Result = QStringLiteral("-1");
    r.JobInfo = QStringLiteral("待打印");

    r.GUID = db.insertJob(dbPath, JobRecord(r));
    m_jobRecords.append(r);
}

void PrintConfig::updateJobRecord(QString jobName, QString stateText)
{
    JobLogDb db;
    for (JobRecord &r : m_jobRecords) {
        if (r.jobName != jobName)
            continue;
        const QString dbPath = paths::jobLogFile(r.DeviceIP);
        r.Result = QStringLiteral("1");
        r.JobInfo = stateText;
        r.JobDoneTime = QDateTime::currentDateTime().toString(kTimeFormat);
        db.updateJobResult(dbPath, JobRecord(r));
        return;
    }
}
