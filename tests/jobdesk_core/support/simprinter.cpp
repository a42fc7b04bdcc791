#include "simprinter.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QMutex>
#include <QSet>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

SimPrinterProcess::SimPrinterProcess(const QString &host, const QString &store, const QStringList &extraArgs)
    : m_host(host), m_store(store), m_extraArgs(extraArgs)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimPrinterProcess::~SimPrinterProcess()
{
    stop();
}

QString SimPrinterProcess::binary()
{
    return QStringLiteral(PRINTER_WEB_BIN);
}

bool SimPrinterProcess::start(int timeoutMs)
{
    if (!m_host.isEmpty())
        return startOn(m_host, timeoutMs);
    // Printers take 127.0.0.100-199; 200-249 stay free for tests that need
    // an address where no printer can ever answer.
    const int first = int(QRandomGenerator::global()->bounded(100));
    for (int i = 0; i < 100; ++i) {
        const QString host = QStringLiteral("127.0.0.%1").arg(100 + (first + i) % 100);
        if (startOn(host, timeoutMs)) {
            m_host = host;
            return true;
        }
    }
    return false;
}

namespace {

bool holdPortLock(quint16 port)
{
    static QMutex mutex;
    static QSet<quint16> held;
    QMutexLocker lock(&mutex);
    if (held.contains(port))
        return true;
    // One lock per network namespace: tests in namespaces of their own never
    // share a port, so they never wait for each other.
    struct stat ns {};
    const QString net = ::stat("/proc/self/ns/net", &ns) == 0 ? QStringLiteral("-net%1").arg(quint64(ns.st_ino)) : QString();
    const QByteArray path =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/spoolbay-tests-port-%1%2.lock").arg(port).arg(net));
    // Close-on-exec: a printer or job desk started by the test must not keep the lock.
    // The temporary folder is shared: a link or a FIFO at the name is not followed.
    const int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return true;  // no lock file possible: the port probe alone still guards
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // A blocking wait queues us in the kernel: the next in line gets the lock as
        // soon as its holder exits, instead of racing newcomers with polls. The
        // test's own time limit ends a wait that never finishes.
        std::fprintf(stderr, "waiting for another test process to release port %u\n", unsigned(port));
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd);
            return false;
        }
    }
    held.insert(port);  // the descriptor stays open: the lock ends with the process
    return true;
}

} // namespace

bool SimPrinterProcess::waitForPortFree(quint16 port, int timeoutMs)
{
    if (!holdPortLock(port))
        return false;
    QDeadlineTimer deadline(timeoutMs);
    do {
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return true;
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

bool SimPrinterProcess::startOn(const QString &host, int timeoutMs)
{
    QStringList args{QStringLiteral("--host"), host, QStringLiteral("--store"), m_store};
    args += m_extraArgs;
    m_process.start(binary(), args);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    QDeadlineTimer deadline(timeoutMs);
    QByteArray seen;
    while (!deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(50) && m_process.state() != QProcess::Running)
            return false;
        seen += m_process.readAllStandardOutput();
        if (seen.contains("listening on"))
            return true;
    }
    return false;
}

void SimPrinterProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

QString SimPrinterProcess::url(const QString &page) const
{
    return QStringLiteral("http://%1:9100/jyx/%2").arg(m_host, page);
}

QStringList SimPrinterProcess::events() const
{
    QFile file(m_store + QStringLiteral("/events.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SimPrinterProcess::waitForEvent(const QString &text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        for (const QString &line : events())
            if (line.contains(text))
                return true;
        QTest::qWait(20);
    } while (!deadline.hasExpired());
    return false;
}

QList<QByteArray> SimPrinterProcess::requestFiles(const QString &page, const QString &suffix) const
{
    QDir dir(m_store + QStringLiteral("/requests"));
    const QStringList names = dir.entryList({QStringLiteral("*-") + page + suffix}, QDir::Files, QDir::Name);
    QList<QByteArray> out;
    for (const QString &name : names) {
        QFile file(dir.filePath(name));
        file.open(QIODevice::ReadOnly);
        out << file.readAll();
    }
    return out;
}

QList<QByteArray> SimPrinterProcess::requestBodies(const QString &page) const
{
    return requestFiles(page, QStringLiteral(".body"));
}

QList<QByteArray> SimPrinterProcess::requestHeads(const QString &page) const
{
    return requestFiles(page, QStringLiteral(".head"));
}

QByteArray SimPrinterProcess::storeFile(const QString &relative) const
{
    QFile file(m_store + QLatin1Char('/') + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
