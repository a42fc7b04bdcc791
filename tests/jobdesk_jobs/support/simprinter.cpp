#include "simprinter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>

namespace testjob {

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

SimPrinter::SimPrinter(const QString &host, const QStringList &args) : m_host(host), m_args(args)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

SimPrinter::~SimPrinter()
{
    stop();
}

bool SimPrinter::start()
{
    if (!m_host.isEmpty())
        return startOn(m_host);
    // Other worktrees run these tests at the same time: take a free address.
    const int first = int(QRandomGenerator::global()->bounded(150));
    for (int i = 0; i < 150; ++i) {
        const QString host = QStringLiteral("127.0.0.%1").arg(100 + (first + i) % 150);
        if (startOn(host)) {
            m_host = host;
            return true;
        }
    }
    return false;
}

bool SimPrinter::startOn(const QString &host)
{
    {
        // printer-web may share a port that is already taken; do not let it.
        QTcpServer probe;
        if (!probe.listen(QHostAddress(host), 9100))
            return false;
    }
    QStringList args{QStringLiteral("--host"), host, QStringLiteral("--store"), m_store.path()};
    args += m_args;
    m_process.start(QStringLiteral(PRINTER_WEB_BIN), args);
    if (!m_process.waitForStarted(5000))
        return false;
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        if (m_process.state() != QProcess::Running) {
            m_process.waitForFinished(1000);
            return false;
        }
        m_process.waitForReadyRead(100);
        out += m_process.readAll();
        if (out.contains("listening on"))
            return true;
    }
    stop();
    return false;
}

// An address where nothing listens, for an unreachable printer.
QString SimPrinter::unusedHost()
{
    for (int i = 0; i < 150; ++i) {
        const QString host = QStringLiteral("127.0.0.%1").arg(100 + int(QRandomGenerator::global()->bounded(150)));
        QTcpServer probe;
        if (probe.listen(QHostAddress(host), 9100))
            return host;
    }
    return QStringLiteral("127.0.0.99");
}

void SimPrinter::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

QString SimPrinter::jobDir(const QString &jobId) const
{
    QString folder = jobId;
    folder.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (folder.isEmpty() || folder.startsWith(QLatin1Char('.')))
        folder.prepend(QStringLiteral("job"));
    return m_store.path() + QLatin1Char('/') + folder;
}

QByteArray SimPrinter::jobFile(const QString &jobId, const QString &name) const
{
    return readAll(jobDir(jobId) + QLatin1Char('/') + name);
}

QStringList SimPrinter::parts(const QString &jobId) const
{
    return QString::fromUtf8(jobFile(jobId, QStringLiteral("parts.txt"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QList<QByteArray> SimPrinter::requestBodies(const QString &page) const
{
    QDir dir(m_store.path() + QStringLiteral("/requests"));
    QList<QByteArray> bodies;
    const QStringList names = dir.entryList({QStringLiteral("*-") + page + QStringLiteral(".body")}, QDir::Files, QDir::Name);
    for (const QString &n : names)
        bodies << readAll(dir.filePath(n));
    return bodies;
}

QString SimPrinter::events() const
{
    return QString::fromUtf8(readAll(m_store.path() + QStringLiteral("/events.log")));
}

} // namespace testjob
