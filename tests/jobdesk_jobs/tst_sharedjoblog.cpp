// Members of the group run the job desk, each as a uid of its own under umask
// 022, on the folders as the package leaves them. The job log that the first
// one's job desk made takes the second one's job too. What another member
// swaps into or plants in the job logs' folder while a job desk works there
// neither makes it write outside that folder nor holds printing up, and an
// outsider's plug-in in the working folder is never loaded.
#include "jobdesk.h"
#include "joblogschema.h"
#include "jobprinter.h"
#include "membersite.h"
#include "pjljob.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

using namespace testjob;

namespace
{

// Not in the group.
const uid_t kOutsider = 4303;

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// "uid:gid mode" with the mode in octal, as the test compares it.
QString ownerOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2 %3").arg(st.st_uid).arg(st.st_gid).arg(st.st_mode & 07777, 0, 8);
}

// Every entry under a folder with its bytes (a folder's are empty): what a
// user keeps there, to compare after another user had a go at it.
QMap<QString, QByteArray> contentsOf(const QString &folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(folder.size()), it.fileInfo().isDir() ? QByteArray() : readFile(path));
    }
    return entries;
}

// Removes whatever is at path; a link goes itself, never what it names.
bool removeEntry(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return true;
    return S_ISDIR(st.st_mode) ? QDir(path).removeRecursively() : QFile::remove(path);
}

// An SQLite file of the user's own, with a table of theirs.
bool makeOwnDatabase(const QString &path)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("own"));
        db.setDatabaseName(path);
        ok = db.open() && QSqlQuery(db).exec(QStringLiteral("create table notes(text)")) &&
             QSqlQuery(db).exec(QStringLiteral("insert into notes values('mine')"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("own"));
    return ok;
}

QStringList linesWith(const QByteArray &log, const QByteArray &text)
{
    QStringList lines;
    for (const QByteArray &line : log.split('\n'))
        if (line.contains(text))
            lines << QString::fromUtf8(line);
    return lines;
}

// The job log's failures: its own messages and SQLite's errors.
QStringList errorLines(const QByteArray &log)
{
    QStringList lines;
    for (const QByteArray &line : log.split('\n'))
        if (line.contains("Error: ") || line.contains("QSqlError"))
            lines << QString::fromUtf8(line);
    return lines;
}

} // namespace

class TestSharedJobLog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void membersLogIntoOneJobLog();
    void swapsWhileTheJobLogOpens_data();
    void swapsWhileTheJobLogOpens();
    void entriesAtTheJournalsName_data();
    void entriesAtTheJournalsName();
    void pluginsOfTheWorkingFolder();

private:
    // Alice's own files, which no other member can reach.
    QString own() const { return m_site->home(kAlice) + "/own"; }
    QString folder() const { return m_site->porvik("data/") + m_printer->host(); }
    QString jobLog() const { return folder() + "/porvikdb.dll"; }
    // Rows of the printer's job log, read from a copy of the file alone: SQLite
    // would block on a FIFO planted beside the job log itself.
    QList<QMap<QString, QString>> jobLogRows() const;
    // Runs a shell script as a member of the group in the data folder, with
    // $P the printer's folder name and $H alice's own folder.
    bool runAs(uid_t uid, const QString &script);
    // Hands over one job as a spool writer does, with an empty companion.
    void handJob(const QString &name, const QByteArray &user = "alice");
    // Waits until the printer has the job and the spool folder is empty again.
    void waitPrinted(const QString &name);
    void printAs(uid_t uid, const QString &name, const QByteArray &user);
    // A job id not used before in this run.
    QString newJobName() { return QStringLiteral("job%1").arg(++m_jobs); }

    std::unique_ptr<MemberSite> m_site;
    std::unique_ptr<JobPrinter> m_printer;
    int m_jobs = 0;
};

QList<QMap<QString, QString>> TestSharedJobLog::jobLogRows() const
{
    const QString copy = m_site->root() + "/copy-" + QString::number(m_jobs) + ".dll";
    return QFile::copy(jobLog(), copy) ? readJobLog(copy) : QList<QMap<QString, QString>>();
}

void TestSharedJobLog::initTestCase()
{
    if (!MemberSite::unusable().isEmpty())
        QSKIP(qPrintable(MemberSite::unusable()));
    QVERIFY(SimPrinterProcess::waitForPortFree(18020));
    m_printer.reset(new JobPrinter());
    QVERIFY(m_printer->start());
    m_site.reset(new MemberSite());
    QVERIFY(m_site->ok());
}

void TestSharedJobLog::init()
{
    // Each case starts without the printer's job log, and with alice's own
    // folder holding an SQLite file of hers.
    QVERIFY(removeEntry(folder()) && removeEntry(folder() + ".old"));
    QVERIFY(removeEntry(own()) && QDir().mkpath(own() + "/logs"));
    QVERIFY(makeOwnDatabase(own() + "/own.db"));
    QVERIFY(setOwner(own(), kAlice, kAlice, 0700) && setOwner(own() + "/logs", kAlice, kAlice, 0700) &&
            setOwner(own() + "/own.db", kAlice, kAlice, 0600));
}

bool TestSharedJobLog::runAs(uid_t uid, const QString &script)
{
    return m_site->runAs(uid, QStringLiteral("umask 022 && cd '%1' && P=%2 H='%3' && %4")
                                  .arg(m_site->porvik("data"), m_printer->host(), own(), script)) == 0;
}

void TestSharedJobLog::handJob(const QString &name, const QByteArray &user)
{
    PjlJob job;
    job.queue = m_printer->host().toLatin1();
    job.title = name.toUtf8() + ".pdf";
    job.user = user;
    QVERIFY(m_site->handOver(name.toUtf8() + ".pcl", job));
}

void TestSharedJobLog::waitPrinted(const QString &name)
{
    QTRY_VERIFY_WITH_TIMEOUT(m_printer->parts(name).join('\n').contains("end " + name + "_end.pcl"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_site->porvik("SPOOL")).isEmpty(), 20000);
}

void TestSharedJobLog::printAs(uid_t uid, const QString &name, const QByteArray &user)
{
    QVERIFY(m_site->startDesk(uid));
    handJob(name, user);
    waitPrinted(name);
    if (!QTest::currentTestFailed())
        QVERIFY(m_site->stopDesk());
}

void TestSharedJobLog::membersLogIntoOneJobLog()
{
    printAs(kAlice, QStringLiteral("alice1"), "alice");
    const QByteArray aliceLog = m_site->log();
    if (QTest::currentTestFailed())
        return;
    printAs(kBob, QStringLiteral("bob1"), "bob");
    if (QTest::currentTestFailed())
        return;

    QStringList users;
    for (const auto &row : jobLogRows())
        users << row.value("UserName") + "/" + row.value("JobName");
    const QStringList errors = errorLines(aliceLog + m_site->log());
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
    QCOMPARE(users, QStringList({"alice/alice1.pdf", "bob/bob1.pdf"}));

    // Made by the first member's job desk, for the group whatever its umask.
    const QString made = QStringLiteral("%1:%2 ").arg(kAlice).arg(kPorvik);
    QCOMPARE(ownerOf(folder()), made + "2770");
    QCOMPARE(ownerOf(jobLog()), made + "660");
}

// While alice's job desk opens the job log for a job, bob swaps in a link to
// a file or folder of alice's own. A wrapper holds that open until the swap is
// done, so the swap falls between the job desk's checks and its use.
void TestSharedJobLog::swapsWhileTheJobLogOpens_data()
{
    QTest::addColumn<QString>("swap");
    QTest::newRow("job log for a link to her SQLite file")
        << R"(ln -s "$H/own.db" "$P/new" && mv -T "$P/new" "$P/porvikdb.dll")";
    QTest::newRow("job log for a link to a missing name of hers")
        << R"(ln -s "$H/made.db" "$P/new" && mv -T "$P/new" "$P/porvikdb.dll")";
    QTest::newRow("printer's folder for a link to her folder")
        << R"(mv "$P" "$P.old" && ln -s "$H/logs" "$P")";
}

void TestSharedJobLog::swapsWhileTheJobLogOpens()
{
    QFETCH(QString, swap);
    const QString hold = m_site->root() + "/hold";
    QVERIFY(QDir(hold).removeRecursively() && QDir().mkpath(hold) && setOwner(hold, kAlice, kAlice, 0700));
    // The job log as bob's job desk left it.
    QVERIFY(runAs(kBob, R"(mkdir -m 2770 "$P" && touch "$P/porvikdb.dll" && chmod 660 "$P/porvikdb.dll")"));
    const QMap<QString, QByteArray> before = contentsOf(own());
    QCOMPARE(before.size(), 2);

    const QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    QVERIFY(m_site->startDesk(kAlice, {"LD_PRELOAD=" HOLD_JOBLOG_SHIM, "SPOOLBAY_HOLD_DIR=" + hold,
                                       "ASAN_OPTIONS=" + asan + (asan.isEmpty() ? "" : ":") +
                                           "verify_asan_link_order=0"}));
    QVERIFY(QFile(hold + "/hold").open(QIODevice::WriteOnly));
    const QString name = newJobName();
    handJob(name);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hold + "/held"), 30000);
    QVERIFY(runAs(kBob, swap));
    QVERIFY(QFile::remove(hold + "/hold"));

    // Printed, and nothing of alice's written, made or changed.
    waitPrinted(name);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(m_site->stopDesk());
    const QMap<QString, QByteArray> after = contentsOf(own());
    QCOMPARE(after.keys(), before.keys());
    QCOMPARE(after, before);
}

// Beside a job log that bob's job desk made, bob plants an entry at a name
// SQLite opens: alice's job desk neither hangs on it nor writes through it,
// both jobs print, and the log says it once.
void TestSharedJobLog::entriesAtTheJournalsName_data()
{
    QTest::addColumn<QString>("plant");
    QTest::addColumn<int>("rows");    // in the job log after both jobs
    QTest::addColumn<int>("removed"); // log lines telling a planted entry went
    QTest::addColumn<int>("errors");  // log lines telling the job log failed
    // Planted entries at the journal's name go, so the job log works again.
    QTest::newRow("FIFO at the journal") << R"(mkfifo "$P/porvikdb.dll-journal")" << 2 << 1 << 0;
    QTest::newRow("link at the journal") << R"(ln -s "$H/own.db" "$P/porvikdb.dll-journal")" << 2 << 1 << 0;
    // A write-ahead log's index would be opened by name: such a job log is not used.
    QTest::newRow("job log kept in WAL, FIFO at its index")
        << R"(sqlite3 "$P/porvikdb.dll" "PRAGMA journal_mode=WAL;" >/dev/null && mkfifo "$P/porvikdb.dll-shm")"
        << 0 << 0 << 1;
}

void TestSharedJobLog::entriesAtTheJournalsName()
{
    QFETCH(QString, plant);
    QFETCH(int, rows);
    QFETCH(int, removed);
    QFETCH(int, errors);
    QVERIFY(runAs(kBob, QStringLiteral(R"(mkdir -m 2770 "$P" && sqlite3 "$P/porvikdb.dll" "%1" && )"
                                       R"(chmod 660 "$P/porvikdb.dll")")
                            .arg(QLatin1String(kCreate))));
    QVERIFY(runAs(kBob, plant));
    const QMap<QString, QByteArray> before = contentsOf(own());

    QVERIFY(m_site->startDesk(kAlice));
    for (const QString &name : {newJobName(), newJobName()}) {
        handJob(name);
        waitPrinted(name);
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY(m_site->stopDesk());

    QCOMPARE(jobLogRows().size(), rows);
    QCOMPARE(linesWith(m_site->log(), "journal is not a plain file, removed:").size(), removed);
    QCOMPARE(errorLines(m_site->log()).size(), errors);
    QCOMPARE(contentsOf(own()), before);
}

// Started by hand from a folder anyone may write, where an outsider put an
// SQL-driver plug-in: the job desk loads its plug-ins from its own folder.
void TestSharedJobLog::pluginsOfTheWorkingFolder()
{
    const QString work = m_site->root() + "/shared";
    const QString drivers = work + "/plugins/sqldrivers";
    QVERIFY(QDir().mkpath(drivers) && setOwner(work, 0, 0, 01777));
    QVERIFY(QFile::copy(QStringLiteral(PLANTED_SQLDRIVER), drivers + "/libplanted.so"));
    for (const QString &path : {work + "/plugins", drivers})
        QVERIFY(setOwner(path, kOutsider, kOutsider, 0755));
    QVERIFY(setOwner(drivers + "/libplanted.so", kOutsider, kOutsider, 0755));

    QVERIFY(m_site->startDesk(kAlice, {}, work));
    const QString name = newJobName();
    handJob(name);
    waitPrinted(name);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(m_site->stopDesk());
    QVERIFY(!QFile::exists(work + "/plugin-ran"));
    QCOMPARE(jobLogRows().size(), 1);
}

QTEST_MAIN(TestSharedJobLog)
#include "tst_sharedjoblog.moc"
