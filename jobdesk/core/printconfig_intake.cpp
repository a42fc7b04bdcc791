#include "printconfig.h"

#include "jobcopy.h"
#include "listenfile.h"
#include "paths.h"
#include "printername.h"
#include "spoolfiles.h"

#include <QDebug>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QThread>

#include <cerrno>
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

enum class Completeness { Complete, Unreadable, Producing, Unfinished };

const char *completenessMessage(Completeness result)
{
    switch (result) {
    case Completeness::Unreadable:
        return "文件产生不完全";
    case Completeness::Producing:
        return "文件正在产生";
    case Completeness::Unfinished:
        return "文件未写完";
    case Completeness::Complete:
        break;
    }
    return "";
}

// Whether the bytes of fd, from its start to its end, are a whole job: at
// least two lines holding "EOJ", the last line ending with "%-12345X".
// Streamed in chunks so a large file is never held in memory; only the
// current line's EOJ state and its last bytes are kept. *bytes: the bytes read.
Completeness scanJob(int fd, qint64 *bytes)
{
    int eojLines = 0;
    bool lineHasEoj = false;
    bool lineOpen = false; // bytes seen since the last line feed
    QByteArray lineTail;   // last bytes of the current line
    QByteArray lastLine;   // last bytes of the last line read
    QByteArray chunk;
    qint64 offset = 0;
    for (;;) {
        chunk.resize(int(kReadChunk));
        const ssize_t got = ::pread(fd, chunk.data(), size_t(chunk.size()), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Completeness::Unreadable;
        if (got == 0)
            break;
        chunk.resize(int(got));
        offset += got;
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
    *bytes = offset;
    if (eojLines < 2)
        return Completeness::Producing;
    return lastLine.endsWith(kUelEnd) ? Completeness::Complete : Completeness::Unfinished;
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

    if (!isFileComplete() || !copyJobFiles()) {
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
    if (fd < 0) {
        if (notRegular)
            qDebug().noquote() << "spool entry is not a regular file, refused:" << SpoolFile;
        else
            qDebug().noquote() << "文件产生不完全";
        return false;
    }
    qint64 checked = 0; // what the job's copy takes: the bytes looked at here
    const Completeness result = scanJob(fd, &checked);
    if (result != Completeness::Complete) {
        qDebug().noquote() << completenessMessage(result);
        ::close(fd);
        return false;
    }
    m_checkedSpool = std::make_shared<spoolfiles::CheckedFile>(fd, checked);
    return true;
}

bool PrintConfig::copyJobFiles()
{
    m_jobCopy.reset();
    if (!m_checkedSpool)
        return false;
    // The converter tool opens the job's files by name, and so would every
    // later step: in the spool folder any member could rename anything over
    // them meanwhile, so they all get a copy of their own.
    QString why;
    std::shared_ptr<jobcopy::JobCopy> copy = jobcopy::JobCopy::make(
        QFile::encodeName(SpoolFile.section(QLatin1Char('/'), -1)), m_checkedSpool->fd(), m_checkedSpool->size(),
        &why);
    if (!copy) {
        qDebug().noquote() << "no private copy of the job, left in the spool folder:" << SpoolFile << why;
        return false;
    }
    // The bytes that go out are the bytes checked: the file may have been
    // rewritten in place between the check and the copy.
    qint64 copied = 0;
    const Completeness result = scanJob(copy->jobFd(), &copied);
    if (result != Completeness::Complete) {
        qDebug().noquote() << completenessMessage(result);
        return false;
    }
    const QString companion = SpoolFile + QStringLiteral(".xml");
    bool notRegular = false;
    const int fd = spoolfiles::openRegular(companion, &notRegular);
    const bool taken = fd >= 0 && copy->addCompanion(fd, &why);
    if (fd >= 0)
        ::close(fd);
    if (!taken) {
        // Refused like a companion that cannot be read.
        if (notRegular)
            qDebug().noquote() << "spool entry is not a regular file, refused:" << companion;
        else if (fd >= 0)
            qDebug().noquote() << "companion file refused:" << companion << why;
        qDebug().noquote() << "file is Empty";
        return false;
    }
    m_jobCopy = copy;
    XmlFile = copy->companionPath();
    return true;
}

void PrintConfig::runPrnTool()
{
    if (!m_jobCopy) {
        qDebug().noquote() << "no private copy of the job, converter tool not run";
        return;
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
    tool.start(program,
               {QStringLiteral("-prn"), m_jobCopy->jobPath(), QStringLiteral("-xml"), m_jobCopy->companionPath()},
               QIODevice::ReadWrite);
    tool.waitForFinished(kPrnToolTimeoutMs);
    tool.readAllStandardOutput();
    tool.close();
}

bool PrintConfig::readPrinterInfo()
{
    QByteArray bytes;
    bool notRegular = false;
    bool tooLarge = false;
    if (!spoolfiles::readRegular(XmlFile, &bytes, jobcopy::kMaxCompanionBytes, &notRegular, &tooLarge)) {
        if (notRegular)
            qDebug().noquote() << "spool entry is not a regular file, refused:" << XmlFile;
        else if (tooLarge)
            qDebug().noquote() << "companion file refused:" << XmlFile << "more than"
                               << jobcopy::kMaxCompanionBytes << "bytes";
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
    m_jobCopy.reset();
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
