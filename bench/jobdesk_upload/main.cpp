// Uploads one large spool job through a headless Spoolbay to printer-web on
// loopback, then posts the same file with curl as one multipart request to
// the same stand-in, and prints both rates and Spoolbay's peak memory above
// its idle size.
#include "pjljob.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <unistd.h>
#include <functional>

namespace {

// Resident and peak resident size of a process, in kB, from /proc.
qint64 procStatus(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

// User plus system CPU time of a process, in ms.
qint64 cpuMs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

QString freeHost()
{
    // Printers take 127.0.0.100-199, as in the tests; 200-249 stay printer-free.
    for (int i = 100; i < 200; ++i) {
        const QString host = QStringLiteral("127.0.0.%1").arg(i);
        QTcpServer probe;
        if (probe.listen(QHostAddress(host), 9100))
            return host;
    }
    return QString();
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(2000);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 200;
    const qint64 size = megabytes * 1000 * 1000;
    QTemporaryDir work;
    const QString root = work.path() + QStringLiteral("/root");
    const QString store = work.path() + QStringLiteral("/printer");
    const QString spool = root + QStringLiteral("/var/porvik/SPOOL/");
    QDir().mkpath(spool);
    QDir().mkpath(root + QStringLiteral("/var/porvik/INSTALL/Log"));
    QDir().mkpath(root + QStringLiteral("/var/porvik/data"));
    QFile::copy(QStringLiteral(PRUVO_BIN), root + QStringLiteral("/var/porvik/INSTALL/pruvo"));
    QFile::setPermissions(root + QStringLiteral("/var/porvik/INSTALL/pruvo"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString host = freeHost();
    if (host.isEmpty()) {
        std::fprintf(stderr, "no free loopback address for the printer\n");
        return 1;
    }
    std::printf("generating a %lld MB spool job...\n", megabytes);
    std::fflush(stdout);
    testjob::PjlJob job;
    job.queue = host.toLatin1();
    job.pages = 50;
    job.totalSize = size;
    const QString staged = work.path() + QStringLiteral("/big.pcl");
    if (!testjob::writePjlJob(staged, job)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(staged));
        return 1;
    }

    QProcess printer;
    printer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    printer.setStandardOutputFile(QProcess::nullDevice());
    printer.start(QStringLiteral(PRINTER_WEB_BIN), {"--host", host, "--store", store, "--states", "Queueing"});
    const QString events = store + QStringLiteral("/events.log");
    if (!printer.waitForStarted() || !waitFor([&] { return QFileInfo::exists(store); }, 5000)) {
        std::fprintf(stderr, "printer-web did not start\n");
        return 1;
    }
    QThread::msleep(300);

    QProcess desk;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLBAY_TEST_ROOT"), root);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Its copies of the job go to a cache of its own, not the user's.
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    desk.setProcessEnvironment(env);
    desk.setWorkingDirectory(QFileInfo(QStringLiteral(SPOOLBAY_BIN)).absolutePath());
    desk.setStandardOutputFile(QProcess::nullDevice());
    desk.setStandardErrorFile(QProcess::nullDevice());
    desk.start(QStringLiteral(SPOOLBAY_BIN), QStringList());
    if (!desk.waitForStarted()) {
        std::fprintf(stderr, "Spoolbay did not start\n");
        return 1;
    }
    const qint64 pid = desk.processId();
    QThread::msleep(2000);
    const qint64 idle = procStatus(pid, "VmRSS:");
    const qint64 deskCpu0 = cpuMs(pid);
    const qint64 printerCpu0 = cpuMs(printer.processId());

    // Hand the job over the way the filter's spool writer does: file, then companion.
    QElapsedTimer total;
    total.start();
    QFile::rename(staged, spool + QStringLiteral("big.pcl"));
    QFile(spool + QStringLiteral("big.pcl.xml")).open(QIODevice::WriteOnly);
    qint64 peak = idle;
    qint64 firstPart = -1;
    bool ended = waitFor([&] {
        peak = qMax(peak, procStatus(pid, "VmRSS:"));
        const QByteArray log = readFile(events);
        if (firstPart < 0 && log.contains("part=1 "))
            firstPart = total.elapsed();
        return log.contains("part=end");
    }, 600000);
    const qint64 endMs = total.elapsed();
    peak = qMax(peak, procStatus(pid, "VmHWM:"));
    const qint64 deskCpu = cpuMs(pid) - deskCpu0;
    const qint64 printerCpu = cpuMs(printer.processId()) - printerCpu0;
    stop(desk);
    if (!ended || firstPart < 0) {
        std::fprintf(stderr, "the job desk's upload did not finish\n");
        stop(printer);
        return 1;
    }
    const qint64 received = QFileInfo(store + QStringLiteral("/big/data.prn")).size();

    // The same file in one multipart request with curl.
    QFile::remove(work.path() + QStringLiteral("/big.pcl"));
    testjob::writePjlJob(staged, job);
    QProcess curl;
    curl.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer curlTime;
    curlTime.start();
    curl.start(QStringLiteral("curl"),
               {"-s", "-o", "/dev/null", "-w", "%{http_code}", "-F", "jobInfo=", "-F", "encryption=none", "-F",
                "jobFile=@" + staged + ";filename=curl_1.pcl;type=application/octet-stream",
                "http://" + host + ":9100/jyx/print.php"});
    curl.waitForFinished(600000);
    const qint64 curlMs = curlTime.elapsed();
    const QByteArray curlStatus = curl.readAll();
    stop(printer);

    const double mb = double(size) / 1e6;
    const double deskRate = mb / ((endMs - firstPart) / 1000.0);
    const double curlRate = mb / (curlMs / 1000.0);
    std::printf("spool file            %.1f MB (%lld bytes), printer received %lld bytes\n", mb, size, received);
    std::printf("Spoolbay upload       %.2f s  %.1f MB/s  (drop to last part %.2f s)\n",
                (endMs - firstPart) / 1000.0, deskRate, endMs / 1000.0);
    std::printf("  CPU meanwhile       Spoolbay %.2f s, printer-web %.2f s\n", deskCpu / 1000.0, printerCpu / 1000.0);
    std::printf("curl multipart        %.2f s  %.1f MB/s  (HTTP %s)\n", curlMs / 1000.0, curlRate,
                curlStatus.constData());
    std::printf("rate ratio            %.2f of curl\n", deskRate / curlRate);
    std::printf("Spoolbay memory       idle %.1f MB, peak %.1f MB, peak above idle %.1f MB (bar 64 MB)\n",
                idle / 1024.0, peak / 1024.0, (peak - idle) / 1024.0);
    return received == size && (peak - idle) < 64 * 1024 ? 0 : 2;
}
