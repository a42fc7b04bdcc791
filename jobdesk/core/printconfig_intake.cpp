#include "printconfig.h"

#include "listenfile.h"
#include "paths.h"
#include "printername.h"
#include "spoolfiles.h"

#include <QDebug>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

const int kPrnToolTimeoutMs = 30000;
const QByteArray kUelEnd = QByteArrayLiteral("%-12345X");
const QByteArray kEoj = QByteArrayLiteral("EOJ");
const qint64 kReadChunk = 64 * 1024;

// Text between the first <tag> and the next </tag>, never past a second <tag>.
QString tagValue(const QString &text, const QString &tag)
{
    const QString open = QLatin1Char('<') + tag + QLatin1Char('>');
    const QString close = QStringLiteral("</") + tag + QLatin1Char('>');
    return text.section(open, 1, 1).section(close, 0, 0);
}

int tagInt(const QString &text, const QString &tag)
{
    return tagValue(text, tag).toInt(nullptr, 10);
}

} // namespace

void PrintConfig::onFindFile(QString fileName)
{
    const int pcl = fileName.indexOf(QLatin1String(".pcl"));
    SpoolStem = pcl < 0 ? fileName : fileName.left(pcl);
    JobName = SpoolStem.section(QLatin1Char('/'), -1);
    if (JobName.contains(QLatin1Char('.')))
        JobName = JobName.left(JobName.lastIndexOf(QLatin1Char('.')));

    if (m_jobNameList.contains(JobName)) {
        leaveIntake();
        qDebug().noquote().nospace() << "job is printing, printer state : " << g_spoolBusy.loadAcquire();
        return;
    }

    qDebug().noquote() << QThread::currentThreadId() << fileName << JobName;
    m_pipelineJob = JobName;
    SpoolFile = fileName;
    RemoveFile = fileName;
    XmlFile = fileName + QStringLiteral(".xml");

    if (!isFileComplete()) {
        leaveIntake();
        qDebug().noquote().nospace() << "printer state : " << g_spoolBusy.loadAcquire();
        return;
    }
    runPrnTool();
    if (!readPrinterInfo()) {
        leaveIntake();
        qDebug().noquote().nospace() << "printer state : " << g_spoolBusy.loadAcquire();
        return;
    }
    // The name becomes a folder and a URL host: anything else would move the
    // job log or the job elsewhere. Refused like a companion that cannot be read.
    if (!printerNameUsable(JPrinterName)) {
        qDebug().noquote() << "printer name refused:" << JPrinterName;
        leaveIntake();
        qDebug().noquote().nospace() << "printer state : " << g_spoolBusy.loadAcquire();
        return;
    }
    m_jobNameList.append(JobName);
    insertJobRecord();
    writeJobTicket();
    sendPrintJob();
    clearStatus();
    g_spoolBusy.storeRelease(0);
    qDebug().noquote().nospace() << "printer state : " << g_spoolBusy.loadAcquire();
}

bool PrintConfig::isFileComplete()
{
    m_checkedSpool.reset();
    bool notRegular = false;
    const int fd = spoolfiles::openRegular(SpoolFile, &notRegular);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        if (notRegular)
            qDebug().noquote() << "spool entry is not a regular file, refused:" << SpoolFile;
        else
            qDebug().noquote() << "文件产生不完全";
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    // Streamed in chunks so a large spool file is never held in memory; only
    // the current line's EOJ state and its last bytes are kept.
    int eojLines = 0;
    bool lineHasEoj = false;
    bool lineOpen = false; // bytes seen since the last line feed
    QByteArray lineTail;   // last bytes of the current line
    QByteArray lastLine;   // last bytes of the last line read
    QByteArray chunk;
    qint64 checked = 0; // what the upload may send: the bytes looked at here
    while (!(chunk = file.read(kReadChunk)).isEmpty()) {
        checked += chunk.size();
        int start = 0;
        while (start < chunk.size()) {
            const int lf = chunk.indexOf('\n', start);
            const int end = lf < 0 ? chunk.size() : lf + 1;
            const QByteArray segment = QByteArray::fromRawData(chunk.constData() + start, end - start);
            if (!lineHasEoj) {
                // An "EOJ" may straddle two chunks: look at the carried tail too.
                const QByteArray joint = lineTail + segment.left(kEoj.size() - 1);
                lineHasEoj = segment.contains(kEoj) || (!lineTail.isEmpty() && joint.contains(kEoj));
            }
            lineOpen = true;
            // Deep copies: `segment` points into `chunk`, which the next read replaces.
            const int keep = kUelEnd.size();
            if (segment.size() >= keep)
                lineTail = QByteArray(segment.constData() + segment.size() - keep, keep);
            else
                lineTail = QByteArray(lineTail + QByteArray(segment.constData(), segment.size())).right(keep);
            if (lf >= 0) {
                if (lineHasEoj)
                    ++eojLines;
                lastLine = lineTail;
                lineTail.clear();
                lineHasEoj = false;
                lineOpen = false;
            }
            start = end;
        }
    }
    if (lineOpen) {
        if (lineHasEoj)
            ++eojLines;
        lastLine = lineTail;
    }
    const bool readError = file.error() != QFileDevice::NoError;
    file.close();
    bool complete = false;
    if (readError)
        qDebug().noquote() << "文件产生不完全";
    else if (eojLines < 2)
        qDebug().noquote() << "文件正在产生";
    else if (!lastLine.endsWith(kUelEnd))
        qDebug().noquote() << "文件未写完";
    else
        complete = true;
    if (complete)
        m_checkedSpool = std::make_shared<spoolfiles::CheckedFile>(fd, checked);
    else
        ::close(fd);
    return complete;
}

void PrintConfig::runPrnTool()
{
    // The tool opens both by name: neither may be a link or other odd entry
    // as it starts (one that is missing it makes itself, as ever). What it
    // leaves is read without following a link.
    const QString xml = SpoolFile + QStringLiteral(".xml");
    for (const QString &path : {SpoolFile, xml}) {
        const spoolfiles::Entry entry = spoolfiles::entryAt(path);
        if (entry != spoolfiles::Entry::Regular && entry != spoolfiles::Entry::Missing) {
            qDebug().noquote() << "spool entry is not a regular file, refused:" << path;
            return;
        }
    }
    // It runs as whichever member's job desk holds the lock: a tool someone else
    // could have written would run their code in that member's session.
    const QString program = paths::pruvoTool();
    struct stat st;
    if (::stat(QFile::encodeName(program).constData(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
         (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        qDebug().noquote() << "converter tool refused: not root's or ours alone:" << program;
        return;
    }
    QProcess tool;
    tool.start(program, {QStringLiteral("-prn"), SpoolFile, QStringLiteral("-xml"), xml},
               QIODevice::ReadWrite);
    tool.waitForFinished(kPrnToolTimeoutMs);
    tool.readAllStandardOutput();
    tool.close();
}

bool PrintConfig::readPrinterInfo()
{
    QByteArray bytes;
    bool notRegular = false;
    if (!spoolfiles::readRegular(XmlFile, &bytes, &notRegular)) {
        if (notRegular)
            qDebug().noquote() << "spool entry is not a regular file, refused:" << XmlFile;
        qDebug().noquote() << "file is Empty";
        return false;
    }
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString info = QString::fromUtf8(bytes);
    qDebug().noquote() << "printer info:" << info;

    Copies = tagInt(info, QStringLiteral("Copies"));
    JPrinterName = tagValue(info, QStringLiteral("JPrinterName"));
    PortName = tagValue(info, QStringLiteral("PortName"));
    Duplex = tagInt(info, QStringLiteral("Duplex"));
    Pages = tagInt(info, QStringLiteral("Pages"));
    Color = tagValue(info, QStringLiteral("Color"));
    Collate = tagValue(info, QStringLiteral("Collate"));
    FileName = tagValue(info, QStringLiteral("FileName"));
    DomainAccount = tagValue(info, QStringLiteral("DomainAccount"));
    PaperSize = tagInt(info, QStringLiteral("PaperSize"));
    ProcessedFileName = SpoolFile.section(QLatin1Char('/'), -1);
    ProcessedFileSize = tagValue(info, QStringLiteral("ProcessedFileSize"));
    ProcessedFileTime =
        tagValue(info, QStringLiteral("ProcessedFileTime")).replace(QLatin1Char('/'), QLatin1Char('-'));
    WorkGroup = QStringLiteral("");
    ComputerName = tagValue(info, QStringLiteral("ComputerName"));
    Domain = QStringLiteral("");
    PrintServer = QStringLiteral("");
    PrintServerAccount = QStringLiteral("");
    DriverName = QStringLiteral("Porvik-Jyx(30)");
    PrinterAddress = JPrinterName;
    JobLabel = SpoolFile;
    CheckBit = QStringLiteral("");

    HostInterface.clear();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            (flags & QNetworkInterface::IsLoopBack))
            continue;
        const QString hw = nic.hardwareAddress();
        const auto entries = nic.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (!IPAddr.isEmpty())
                HostInterface += QLatin1Char(';');
            IPAddr = entry.ip().toString();
            HostInterface += IPAddr + QLatin1Char('/') + hw;
        }
    }
    return true;
}

void PrintConfig::clearStatus()
{
    qDebug().noquote() << "--------clear status";
    const std::shared_ptr<spoolfiles::CheckedFile> checked = m_checkedSpool;
    resetJobFields();
    if (checked && checked->changedAt(RemoveFile)) {
        // Its writer went on after the check: what is there now was never
        // sent, so it stays for whoever wrote it (and nothing removes it later).
        qDebug().noquote() << "spool file changed after its check, kept:" << RemoveFile
                           << "checked bytes:" << checked->size();
        RemoveFile.clear();
    }
    // No path: no job whose files could be removed.
    if (!RemoveFile.isEmpty())
        emit sigRemoveFile(RemoveFile);
    JobName.clear();
}

void PrintConfig::resetJobFields()
{
    SpoolStem.clear();
    JobLabel.clear();
    Copies = 0;
    JPrinterName.clear();
    PortName.clear();
    Duplex = 0;
    Pages = 0;
    Color.clear();
    Collate.clear();
    FileName.clear();
    PaperSize = 0;
    ComputerName.clear();
    Domain.clear();
    PrintServer.clear();
    CheckBit.clear();
    DriverName.clear();
    // The next job's address list starts without a ";" only when this is empty.
    IPAddr.clear();
    SecLevel.clear();
    Remark.clear();
    mFlag = 0;
    m_pipelineJob.clear();
    m_checkedSpool.reset();
}

void PrintConfig::leaveIntake()
{
    resetJobFields();
    JobName.clear();
    // Nothing of this try may be removed or uploaded by a later caller.
    SpoolFile.clear();
    RemoveFile.clear();
    XmlFile.clear();
    g_spoolBusy.storeRelease(0);
}
