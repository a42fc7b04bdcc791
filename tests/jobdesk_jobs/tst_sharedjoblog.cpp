// Two members of the group run the job desk one after the other, each as a
// uid of its own under umask 022, on the folders as the package leaves them:
// the job log that the first one's job desk made takes the second one's job too.
#include "jobdesk.h"
#include "jobprinter.h"
#include "pjljob.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testjob;

namespace
{

// Numeric ids only: no accounts are needed.
const gid_t kGroup = 4300;
const uid_t kAlice = 4301;
const uid_t kBob = 4302;

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool setOwner(const QString &path, uid_t owner, gid_t group, mode_t mode)
{
    const QByteArray p = QFile::encodeName(path);
    return ::chown(p.constData(), owner, group) == 0 && ::chmod(p.constData(), mode) == 0;
}

// "uid:gid mode" with the mode in octal, as the test compares it.
QString ownerOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2 %3").arg(st.st_uid).arg(st.st_gid).arg(st.st_mode & 07777, 0, 8);
}

} // namespace

class TestSharedJobLog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void membersLogIntoOneJobLog();

private:
    QString porvik(const QString &relative) const { return m_root.path() + "/var/porvik/" + relative; }
    // Starts the job desk as a member, hands it one job, waits until the
    // printer has it, then ends the job desk.
    void printAs(uid_t uid, const QString &name, const QByteArray &user, const JobPrinter &printer);

    QTemporaryDir m_root;
    QString m_setpriv;
    int m_starts = 0;
};

void TestSharedJobLog::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("starting job desks as other users needs root");
    m_setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (m_setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is missing");
    QVERIFY(m_root.isValid());
    QVERIFY(SimPrinterProcess::waitForPortFree(18020));

    // The folders, the lock and the log as postinst leaves them.
    QVERIFY(QDir().mkpath(porvik("INSTALL/Log")));
    QVERIFY(QDir().mkpath(porvik("SPOOL")));
    QVERIFY(QDir().mkpath(porvik("data")));
    QVERIFY(QDir().mkpath(m_root.path() + "/stage"));
    for (const QString &dir :
         {QString(), QStringLiteral("/var"), QStringLiteral("/var/porvik"),
          QStringLiteral("/var/porvik/INSTALL"), QStringLiteral("/var/porvik/INSTALL/Log")})
        QVERIFY(setOwner(m_root.path() + dir, 0, 0, 0755));
    QVERIFY(setOwner(porvik("SPOOL"), 0, kGroup, 02770));
    QVERIFY(setOwner(porvik("data"), 0, kGroup, 02770));
    for (const QString &file : {porvik("INSTALL/serverlockfile"), porvik("INSTALL/Log/Spoolbay.log")}) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(setOwner(file, 0, kGroup, 0660));
    }
    QVERIFY(QFile::copy(QStringLiteral(PRUVO_BIN), porvik("INSTALL/pruvo")));
    QVERIFY(setOwner(porvik("INSTALL/pruvo"), 0, 0, 0755));
}

void TestSharedJobLog::printAs(uid_t uid, const QString &name, const QByteArray &user,
                               const JobPrinter &printer)
{
    QProcess desk;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLBAY_TEST_ROOT"), m_root.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A session's own runtime folder, so that Qt makes none in /tmp.
    const QString home = m_root.path() + "/home-" + QString::number(uid);
    QVERIFY(QDir().mkpath(home) && setOwner(home, uid, uid, 0700));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    desk.setProcessEnvironment(env);
    desk.setWorkingDirectory(m_root.path());
    desk.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A member's session: its own uid and group, porvik as a supplementary group.
    const QString id = QString::number(uid);
    desk.start(QStringLiteral("sh"),
               {QStringLiteral("-c"), QStringLiteral("umask 022 && exec \"$@\""), QStringLiteral("sh"),
                m_setpriv, "--reuid=" + id, "--regid=" + id, "--groups=" + QString::number(kGroup),
                QStringLiteral("--"), QStringLiteral(SPOOLBAY_BIN)});
    QVERIFY(desk.waitForStarted());
    // Its listener is up (and its start-up purge done) once the self-test is logged.
    ++m_starts;
    QTRY_VERIFY_WITH_TIMEOUT(
        readFile(porvik("INSTALL/Log/Spoolbay.log")).count("context  : hello") == m_starts, 30000);

    // Handed over as a spool writer does: the job written whole beside the
    // folder and renamed into it, its companion last; both for the group.
    PjlJob job;
    job.queue = printer.host().toLatin1();
    job.title = name.toUtf8() + ".pdf";
    job.user = user;
    const QString file = name + ".pcl";
    QVERIFY(writePjlJob(m_root.path() + "/stage/" + file, job));
    QFile(m_root.path() + "/stage/" + file + ".xml").open(QIODevice::WriteOnly);
    for (const QString &f : {file, file + ".xml"}) {
        QVERIFY(setOwner(m_root.path() + "/stage/" + f, 0, kGroup, 0660));
        QVERIFY(QFile::rename(m_root.path() + "/stage/" + f, porvik("SPOOL/") + f));
    }

    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(name).join('\n').contains("end " + name + "_end.pcl"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(porvik("SPOOL")).isEmpty(), 20000);
    desk.terminate();
    QVERIFY(desk.waitForFinished(20000));
}

void TestSharedJobLog::membersLogIntoOneJobLog()
{
    JobPrinter printer;
    QVERIFY(printer.start());
    printAs(kAlice, QStringLiteral("alice1"), "alice", printer);
    if (QTest::currentTestFailed())
        return;
    printAs(kBob, QStringLiteral("bob1"), "bob", printer);
    if (QTest::currentTestFailed())
        return;

    const QString folder = porvik("data/") + printer.host();
    const QString dbPath = folder + "/porvikdb.dll";
    QStringList users;
    for (const auto &row : readJobLog(dbPath))
        users << row.value("UserName") + "/" + row.value("JobName");
    const QByteArray log = readFile(porvik("INSTALL/Log/Spoolbay.log"));
    QByteArrayList errors;
    for (const QByteArray &line : log.split('\n'))
        if (line.contains("QSqlError"))
            errors << line;
    QVERIFY2(errors.isEmpty(), errors.join('\n').constData());
    QCOMPARE(users, QStringList({"alice/alice1.pdf", "bob/bob1.pdf"}));

    // Made by the first member's job desk, for the group whatever its umask.
    const QString made = QStringLiteral("%1:%2 ").arg(kAlice).arg(kGroup);
    QCOMPARE(ownerOf(folder), made + "2770");
    QCOMPARE(ownerOf(dbPath), made + "660");
}

QTEST_MAIN(TestSharedJobLog)
#include "tst_sharedjoblog.moc"
