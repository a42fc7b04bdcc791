// Two members of the group run the job desk one after the other, each as a
// uid of its own under umask 022, on the folders as the package leaves them:
// the job log that the first one's job desk made takes the second one's job too.
#include "jobdesk.h"
#include "jobprinter.h"
#include "membersite.h"
#include "pjljob.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

using namespace testjob;

namespace
{

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
    // Starts the job desk as a member, hands it one job, waits until the
    // printer has it, then ends the job desk.
    void printAs(uid_t uid, const QString &name, const QByteArray &user, const JobPrinter &printer);

    std::unique_ptr<MemberSite> m_site;
};

void TestSharedJobLog::initTestCase()
{
    if (!MemberSite::unusable().isEmpty())
        QSKIP(qPrintable(MemberSite::unusable()));
    QVERIFY(SimPrinterProcess::waitForPortFree(18020));
    m_site.reset(new MemberSite());
    QVERIFY(m_site->ok());
}

void TestSharedJobLog::printAs(uid_t uid, const QString &name, const QByteArray &user,
                               const JobPrinter &printer)
{
    QVERIFY(m_site->startDesk(uid));
    PjlJob job;
    job.queue = printer.host().toLatin1();
    job.title = name.toUtf8() + ".pdf";
    job.user = user;
    QVERIFY(m_site->handOver(name.toUtf8() + ".pcl", job));
    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(name).join('\n').contains("end " + name + "_end.pcl"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_site->porvik("SPOOL")).isEmpty(), 20000);
    QVERIFY(m_site->stopDesk());
    QByteArrayList errors;
    for (const QByteArray &line : m_site->log().split('\n'))
        if (line.contains("QSqlError"))
            errors << line;
    QVERIFY2(errors.isEmpty(), errors.join('\n').constData());
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

    const QString folder = m_site->porvik("data/") + printer.host();
    const QString dbPath = folder + "/porvikdb.dll";
    QStringList users;
    for (const auto &row : readJobLog(dbPath))
        users << row.value("UserName") + "/" + row.value("JobName");
    QCOMPARE(users, QStringList({"alice/alice1.pdf", "bob/bob1.pdf"}));

    // Made by the first member's job desk, for the group whatever its umask.
    const QString made = QStringLiteral("%1:%2 ").arg(kAlice).arg(kPorvik);
    QCOMPARE(ownerOf(folder), made + "2770");
    QCOMPARE(ownerOf(dbPath), made + "660");
}

QTEST_MAIN(TestSharedJobLog)
#include "tst_sharedjoblog.moc"
