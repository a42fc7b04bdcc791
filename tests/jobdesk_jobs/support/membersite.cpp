#include "membersite.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testjob {

namespace {

bool writeOwned(const QByteArray &path, const QByteArray &data, uid_t owner, gid_t group, mode_t mode)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    ok = ::fchown(fd, owner, group) == 0 && ::fchmod(fd, mode) == 0 && ok;
    return ::close(fd) == 0 && ok;
}

} // namespace

bool setOwner(const QString &path, uid_t owner, gid_t group, mode_t mode)
{
    const QByteArray p = QFile::encodeName(path);
    return ::lchown(p.constData(), owner, group) == 0 && ::chmod(p.constData(), mode) == 0;
}

QString MemberSite::unusable()
{
    if (::geteuid() != 0)
        return QStringLiteral("starting job desks as other users needs root");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv (util-linux) is missing");
    return QString();
}

MemberSite::MemberSite()
{
    m_setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!m_root.isValid() || !unusable().isEmpty())
        return;
    const QString r = m_root.path();
    bool ok = QDir().mkpath(porvik(QStringLiteral("INSTALL/Log"))) && QDir().mkpath(porvik(QStringLiteral("SPOOL"))) &&
              QDir().mkpath(porvik(QStringLiteral("data"))) && QDir().mkpath(r + QStringLiteral("/stage")) &&
              QDir().mkpath(r + QStringLiteral("/handshake"));
    // As postinst leaves them.
    for (const QString &dir : {QString(), QStringLiteral("/var"), QStringLiteral("/var/porvik"),
                               QStringLiteral("/var/porvik/INSTALL"), QStringLiteral("/var/porvik/INSTALL/Log")})
        ok = ok && setOwner(r + dir, 0, 0, 0755);
    ok = ok && setOwner(porvik(QStringLiteral("SPOOL")), 0, kPorvik, 02770) &&
         setOwner(porvik(QStringLiteral("data")), 0, kPorvik, 02770) && setOwner(r + QStringLiteral("/stage"), 0, 0, 0700) &&
         setOwner(r + QStringLiteral("/handshake"), 0, 0, 01777);
    for (const QString &file : {porvik(QStringLiteral("INSTALL/serverlockfile")), porvik(QStringLiteral("INSTALL/Log/Spoolbay.log"))})
        ok = ok && writeOwned(QFile::encodeName(file), QByteArray(), 0, kPorvik, 0660);
    const QString real = porvik(QStringLiteral("INSTALL/pruvo.real"));
    ok = ok && QFile::copy(QStringLiteral(PRUVO_BIN), real) && setOwner(real, 0, 0, 0755);
    installConverter();
    m_ok = ok;
}

MemberSite::~MemberSite()
{
    stopDesk();
}

QString MemberSite::porvik(const QString &relative) const
{
    return m_root.path() + QStringLiteral("/var/porvik/") + relative;
}

QString MemberSite::home(uid_t uid) const
{
    const QString home = m_root.path() + QStringLiteral("/home-") + QString::number(uid);
    if (!QFileInfo::exists(home)) {
        QDir().mkpath(home);
        setOwner(home, uid, uid, 0700);
    }
    return home;
}

QString MemberSite::handshake(const QString &name) const
{
    return m_root.path() + QStringLiteral("/handshake/") + name;
}

void MemberSite::installConverter(const QByteArray &script)
{
    const QString tool = porvik(QStringLiteral("INSTALL/pruvo"));
    QFile::remove(tool);
    if (script.isEmpty()) {
        QFile::copy(porvik(QStringLiteral("INSTALL/pruvo.real")), tool);
    } else {
        const QByteArray real = QFile::encodeName(porvik(QStringLiteral("INSTALL/pruvo.real")));
        writeOwned(QFile::encodeName(tool), "#!/bin/sh\nREAL='" + real + "'\n" + script + "\n", 0, 0, 0755);
    }
    setOwner(tool, 0, 0, 0755);
}

void MemberSite::removeConverter()
{
    QFile::remove(porvik(QStringLiteral("INSTALL/pruvo")));
}

bool MemberSite::startDesk(uid_t uid, const QStringList &extraEnv, const QString &workDir)
{
    stopDesk();
    // A fresh log for this run, still the group's.
    if (!writeOwned(QFile::encodeName(porvik(QStringLiteral("INSTALL/Log/Spoolbay.log"))), QByteArray(), 0, kPorvik, 0660))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLBAY_TEST_ROOT"), m_root.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A session's own home and runtime folder, so that Qt makes nothing in /tmp.
    env.insert(QStringLiteral("HOME"), home(uid));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home(uid));
    env.remove(QStringLiteral("XDG_CACHE_HOME"));
    for (const QString &entry : extraEnv)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    m_desk.setProcessEnvironment(env);
    m_desk.setWorkingDirectory(workDir.isEmpty() ? m_root.path() : workDir);
    m_desk.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_desk.setStandardOutputFile(m_root.path() + QStringLiteral("/desk-") + QString::number(uid) + QStringLiteral(".out"),
                                 QIODevice::Append);
    const QString id = QString::number(uid);
    m_desk.start(QStringLiteral("sh"),
                 {QStringLiteral("-c"), QStringLiteral("umask 022 && exec \"$@\""), QStringLiteral("sh"), m_setpriv,
                  QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
                  QStringLiteral("--groups=") + QString::number(kPorvik), QStringLiteral("--"),
                  QStringLiteral(SPOOLBAY_BIN)});
    if (!m_desk.waitForStarted())
        return false;
    // Its listener runs, its start-up purge done, once the self-test is logged.
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && deskRunning()) {
        if (log().contains("context  : hello"))
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool MemberSite::stopDesk()
{
    if (!deskRunning())
        return false;
    m_desk.terminate();
    if (!m_desk.waitForFinished(20000)) {
        m_desk.kill();
        m_desk.waitForFinished(5000);
    }
    return true;
}

QByteArray MemberSite::log() const
{
    QFile f(porvik(QStringLiteral("INSTALL/Log/Spoolbay.log")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int MemberSite::logLines(const QByteArray &text) const
{
    int n = 0;
    for (const QByteArray &line : log().split('\n'))
        n += line.contains(text);
    return n;
}

int MemberSite::runAs(uid_t uid, const QString &command, bool member) const
{
    const QString id = QString::number(uid);
    QProcess p;
    p.setWorkingDirectory(m_root.path());
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(m_setpriv, {QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
                        member ? QStringLiteral("--groups=") + QString::number(kPorvik) : QStringLiteral("--clear-groups"),
                        QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), command});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

bool MemberSite::handOver(const QByteArray &name, const QByteArray &job, const QByteArray &companion) const
{
    const QByteArray stage = QFile::encodeName(m_root.path()) + "/stage/";
    const QByteArray spool = QFile::encodeName(porvik(QStringLiteral("SPOOL/")));
    for (const QByteArray &file : {name, name + ".xml"}) {
        const QByteArray &data = file == name ? job : companion;
        if (!writeOwned(stage + file, data, 0, kPorvik, 0660) ||
            ::rename((stage + file).constData(), (spool + file).constData()) != 0)
            return false;
    }
    return true;
}

bool MemberSite::handOver(const QByteArray &name, const PjlJob &job, const QByteArray &companion) const
{
    const QString staged = m_root.path() + QStringLiteral("/stage/job.tmp");
    if (!writePjlJob(staged, job))
        return false;
    QFile f(staged);
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    f.close();
    QFile::remove(staged);
    return handOver(name, bytes, companion);
}

} // namespace testjob
