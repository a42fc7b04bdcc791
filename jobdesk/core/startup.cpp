#include "startup.h"

#include "paths.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTime>
#include <QtDebug>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool checkSingleInstance()
{
    const QByteArray path = QFile::encodeName(paths::lockFile());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        qDebug("create file error");
        return false;
    }
    if (::lockf(fd, F_TLOCK, 0) != 0) {
        qDebug("lock file error");
        ::close(fd);
        return false;
    }
    // The descriptor stays open: closing it would release the lock.
    return true;
}

void messageOutput(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    const QByteArray prefix = ("\n[" + QTime::currentTime().toString(Qt::TextDate) + "]").toLatin1();
    if (type != QtDebugMsg)
        return;
    const QByteArray text = msg.toUtf8();
    std::fprintf(stdout, "%s %s ", prefix.constData(), text.constData());
    std::fflush(stdout);

    QFile log(paths::logFile());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    if (log.size() > kLogRestartSize) {
        log.resize(0);
        log.write(kLogRestartMarker, sizeof kLogRestartMarker - 1);
    }
    // One write per line: threads log at once, and appends must not interleave.
    log.write(prefix + text);
    log.close();
}

bool ensureFolder(const QString &path)
{
    QDir dir;
    if (dir.exists(path))
        return true;
    return dir.mkpath(path);
}

void initSpoolbayResources()
{
    Q_INIT_RESOURCE(spoolbay);
}
