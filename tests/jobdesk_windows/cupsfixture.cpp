#include "cupsfixture.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#ifndef TEST_DATA_DIR
#error TEST_DATA_DIR must name the test data folder
#endif

namespace {

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
        return 0;
    return probe.serverPort();
}

} // namespace

CupsFixture::CupsFixture() = default;

CupsFixture::~CupsFixture()
{
    if (m_cupsd.state() != QProcess::NotRunning) {
        m_cupsd.terminate();
        if (!m_cupsd.waitForFinished(5000)) {
            m_cupsd.kill();
            m_cupsd.waitForFinished(2000);
        }
    }
}

bool CupsFixture::start()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    const QString r = m_dir.path();
    // cupsd drops to user lp for its helpers; let it into the folder.
    QFile::setPermissions(r, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                 | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                 | QFileDevice::ReadOther | QFileDevice::ExeOther);
    for (const char *sub : {"root/ppd", "state", "cache", "spool/tmp", "log"})
        QDir().mkpath(r + QLatin1Char('/') + QLatin1String(sub));
    for (const char *name : {"raw.types", "raw.convs"}) {
        const QString from = QStringLiteral("/etc/cups/") + QLatin1String(name);
        if (QFile::exists(from))
            QFile::copy(from, r + QStringLiteral("/root/") + QLatin1String(name));
    }

    const quint16 port = freeLoopbackPort();
    if (port == 0) {
        m_error = QStringLiteral("no free loopback port");
        return false;
    }
    m_server = QStringLiteral("127.0.0.1:%1").arg(port);

    const QByteArray R = r.toLocal8Bit();
    const QByteArray files = "ServerRoot " + R + "/root\n"
                             "StateDir " + R + "/state\n"
                             "CacheDir " + R + "/cache\n"
                             "RequestRoot " + R + "/spool\n"
                             "TempDir " + R + "/spool/tmp\n"
                             "DataDir /usr/share/cups\n"
                             "ServerBin /usr/lib/cups\n"
                             "DocumentRoot /usr/share/cups/doc-root\n"
                             "ErrorLog " + R + "/log/error_log\n"
                             "AccessLog " + R + "/log/access_log\n"
                             "PageLog " + R + "/log/page_log\n"
                             "User lp\nGroup lp\nSystemGroup root\nFileDevice Yes\n";
    const QByteArray conf = "LogLevel warn\n"
                            "Listen " + m_server.toLatin1() + "\n"
                            "ServerName 127.0.0.1\n"
                            "Browsing Off\nBrowseLocalProtocols none\n"
                            "DefaultAuthType None\nWebInterface No\n"
                            "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n</Location>\n"
                            "<Policy default>\n  <Limit All>\n    Order allow,deny\n"
                            "    Allow from 127.0.0.1\n  </Limit>\n</Policy>\n";
    if (!writeFile(r + "/root/cups-files.conf", files) || !writeFile(r + "/root/cupsd.conf", conf)) {
        m_error = QStringLiteral("cannot write the scheduler configuration");
        return false;
    }

    m_cupsd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_cupsd.setStandardOutputFile(QProcess::nullDevice());
    m_cupsd.start(QStringLiteral("cupsd"), {QStringLiteral("-f"), QStringLiteral("-c"), r + "/root/cupsd.conf",
                                            QStringLiteral("-s"), r + "/root/cups-files.conf"});
    if (!m_cupsd.waitForStarted(5000)) {
        m_error = QStringLiteral("cupsd did not start");
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (s.waitForConnected(100)) {
            qputenv("CUPS_SERVER", m_server.toLatin1());
            return true;
        }
        if (m_cupsd.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    m_error = QStringLiteral("cupsd does not answer on ") + m_server;
    return false;
}

bool CupsFixture::runAdmin(const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CUPS_SERVER"), m_server);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("lpadmin"), args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        const QByteArray out = p.readAll();
        // lpadmin warns that PPD drivers are deprecated; anything else is an error.
        m_error = QStringLiteral("lpadmin %1 failed: %2").arg(args.join(' '), QString::fromLocal8Bit(out));
        return false;
    }
    return true;
}

bool CupsFixture::addQueue(const QString &name, const QString &nickName)
{
    QFile in(QStringLiteral(TEST_DATA_DIR "/queue.ppd.in"));
    if (!in.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("no PPD template");
        return false;
    }
    QByteArray ppd = in.readAll();
    ppd.replace("@NICKNAME@", nickName.toLatin1());
    const QString path = m_dir.path() + QStringLiteral("/queue-") + name + QStringLiteral(".ppd");
    if (!writeFile(path, ppd)) {
        m_error = QStringLiteral("cannot write ") + path;
        return false;
    }
    return runAdmin({QStringLiteral("-p"), name, QStringLiteral("-E"), QStringLiteral("-v"),
                     QStringLiteral("file:///dev/null"), QStringLiteral("-P"), path});
}

bool CupsFixture::removeQueue(const QString &name)
{
    return runAdmin({QStringLiteral("-x"), name});
}
