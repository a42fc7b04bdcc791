// The real job desk in the session of a member, alice, while another member,
// bob, changes what is in the spool folder under it: nothing he puts or swaps
// in may make her job desk or its converter tool write outside the shared
// folders, end it, or leave a job for ever; a job it cannot take stays, and is
// said once per change, not at every look.
#include "jobdesk.h"
#include "jobprinter.h"
#include "membersite.h"
#include "pjljob.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testjob;

namespace
{

const QByteArray kNotes = "alice's private notes\n";

PjlJob jobFor(const QString &host, quint32 seed = 1)
{
    PjlJob job;
    job.queue = host.toLatin1();
    job.seed = seed;
    return job;
}

QByteArray bytesOf(const PjlJob &job)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/j");
    return writePjlJob(path, job) ? fileBytes(path) : QByteArray();
}

bool entryExists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

QString quoted(const QString &path)
{
    return QLatin1Char('\'') + path + QLatin1Char('\'');
}

// "uid mode" of an entry, or "missing".
QString ownerAndMode(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1 %2").arg(st.st_uid).arg(st.st_mode & 07777, 0, 8);
}

// A converter script that runs `before`, says so (its arguments in `args`)
// and waits for `go`, then runs `after`.
QByteArray waitingConverter(const QString &args, const QString &go, const QByteArray &before,
                            const QByteArray &after)
{
    return before + "\nprintf '%s\\n' \"$@\" > " + QFile::encodeName(quoted(args)) +
           "\nn=0\nwhile [ ! -e " + QFile::encodeName(quoted(go)) +
           " ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\n" + after;
}

} // namespace

class TestMemberDesk : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void converterWorksOnTheJobsCopy_data();
    void converterWorksOnTheJobsCopy();
    void earlierCopiesSwept();
    void noPrivatePlace_data();
    void noPrivatePlace();
    void hugeCompanion_data();
    void hugeCompanion();
    void jobWithoutPrinter_data();
    void jobWithoutPrinter();
    void keptJobSaidOncePerChange_data();
    void keptJobSaidOncePerChange();
    void nameThatIsNoText_data();
    void nameThatIsNoText();

private:
    // Bob's own folder beside the spool folder, to make what he renames in.
    QString bobStage() const { return m_site->root() + QStringLiteral("/bob-stage"); }
    int asBob(const QString &command) const { return m_site->runAs(kBob, command); }
    // Waits until the printer has the whole job and the spool folder is empty.
    void waitPrinted(const JobPrinter &printer, const QString &job);

    std::unique_ptr<MemberSite> m_site;
};

void TestMemberDesk::initTestCase()
{
    if (!MemberSite::unusable().isEmpty())
        QSKIP(qPrintable(MemberSite::unusable()));
    QVERIFY(SimPrinterProcess::waitForPortFree(18020));
}

void TestMemberDesk::init()
{
    m_site.reset(new MemberSite());
    QVERIFY(m_site->ok());
    QVERIFY(QDir().mkpath(bobStage()));
    QVERIFY(setOwner(bobStage(), kBob, kBob, 0700));
}

void TestMemberDesk::cleanup()
{
    // Whatever happened, her job desk was never ended by what bob did.
    if (m_site->deskRunning() || !QTest::currentTestFailed())
        QVERIFY2(m_site->stopDesk(), "the job desk had ended");
    m_site.reset();
}

void TestMemberDesk::waitPrinted(const JobPrinter &printer, const QString &job)
{
    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(job).join('\n').contains("end " + job + "_end.pcl"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_site->spool(QString())).isEmpty(), 20000);
}

void TestMemberDesk::converterWorksOnTheJobsCopy_data()
{
    QTest::addColumn<bool>("existing"); // the link names a file of hers, else a name not yet there
    QTest::newRow("her own file") << true;
    QTest::newRow("a name of hers not yet taken") << false;
}

// Bob renames a link into her home over the companion while the converter
// tool is about to open its files: the tool works on her job desk's copy, so
// her file is neither written nor made, and the job prints all the same.
void TestMemberDesk::converterWorksOnTheJobsCopy()
{
    QFETCH(bool, existing);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString notes = m_site->home(kAlice) + QStringLiteral("/notes.txt");
    if (existing) {
        QVERIFY(writeBytes(notes, kNotes));
        QVERIFY(setOwner(notes, kAlice, kAlice, 0600));
    }
    const QString args = m_site->handshake(QStringLiteral("args"));
    const QString go = m_site->handshake(QStringLiteral("go"));
    m_site->installConverter(waitingConverter(args, go, QByteArray(), "exec \"$REAL\" \"$@\""));
    QVERIFY(m_site->startDesk(kAlice));

    const PjlJob job = jobFor(printer.host());
    QVERIFY(m_site->handOver("steal.pcl", job));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(args), 30000);
    QCOMPARE(asBob("ln -s " + quoted(notes) + " " + quoted(bobStage() + "/l") + " && mv -T " +
                   quoted(bobStage() + "/l") + " " + quoted(m_site->spool("steal.pcl.xml"))),
             0);
    QVERIFY(writeBytes(go, QByteArray()));

    // The intake has read what the tool left (or refused it).
    QTRY_VERIFY_WITH_TIMEOUT(m_site->log().contains("printer info:") || m_site->log().contains("file is Empty"),
                             30000);
    QCOMPARE(ownerAndMode(notes), existing ? QStringLiteral("%1 600").arg(kAlice) : QStringLiteral("missing"));
    QCOMPARE(fileBytes(notes), existing ? kNotes : QByteArray());

    // The same names, in a folder of her own.
    const QStringList seen = QString::fromUtf8(fileBytes(args)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(seen.size(), 4);
    const QString copy = seen.value(1);
    QVERIFY2(copy.startsWith(m_site->jobCopies(kAlice) + QStringLiteral("/job-")) &&
                 copy.endsWith(QStringLiteral("/steal.pcl")),
             qPrintable(copy));
    QCOMPARE(seen, QStringList({"-prn", copy, "-xml", copy + ".xml"}));

    waitPrinted(printer, QStringLiteral("steal"));
    QCOMPARE(printer.jobFile(QStringLiteral("steal"), QStringLiteral("data.prn")), bytesOf(job));
    QVERIFY(printer.jobFile(QStringLiteral("steal"), QStringLiteral("ticket-1.xml")).contains("<JobID>steal</JobID>"));
    // The copy ended with the job.
    QTRY_COMPARE_WITH_TIMEOUT(QDir(m_site->jobCopies(kAlice)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                              QStringList(), 10000);
    QCOMPARE(ownerAndMode(m_site->jobCopies(kAlice)), QStringLiteral("%1 700").arg(kAlice));
}

// A job's copy that a run left behind (it ended mid-job) goes at the next start.
void TestMemberDesk::earlierCopiesSwept()
{
    const QString copies = m_site->jobCopies(kAlice);
    QVERIFY(QDir().mkpath(copies + QStringLiteral("/job-AbC123/sub")));
    QVERIFY(writeBytes(copies + QStringLiteral("/job-AbC123/left.pcl"), "left"));
    QVERIFY(writeBytes(copies + QStringLiteral("/kept"), "not a job's"));
    for (const QString &path : {m_site->home(kAlice) + QStringLiteral("/.cache"), copies, copies + "/job-AbC123",
                                copies + "/job-AbC123/sub", copies + "/job-AbC123/left.pcl", copies + "/kept"})
        QVERIFY(setOwner(path, kAlice, kAlice, 0700));
    QVERIFY(m_site->startDesk(kAlice));
    QCOMPARE(QDir(copies).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList("kept"));
    QCOMPARE(m_site->logLines("job copy of an earlier run removed: " + QFile::encodeName(copies) + "/job-AbC123"), 1);
}

void TestMemberDesk::noPrivatePlace_data()
{
    QTest::addColumn<QString>("cache"); // the cache location, relative to the root
    QTest::addColumn<uid_t>("owner");
    QTest::addColumn<gid_t>("group");
    QTest::addColumn<int>("mode");
    QTest::newRow("her cache folder, which anybody may write")
        << QStringLiteral("home-%1/.cache").arg(kAlice) << kAlice << gid_t(kAlice) << 0777;
    QTest::newRow("a folder the group may write") << QStringLiteral("groupcache") << uid_t(0) << kPorvik << 02770;
}

// Without a folder that only she (or root) can change, her job desk takes no
// job: it stays in the spool folder, the converter never runs on it, and the
// reason is logged once.
void TestMemberDesk::noPrivatePlace()
{
    QFETCH(QString, cache);
    QFETCH(uid_t, owner);
    QFETCH(gid_t, group);
    QFETCH(int, mode);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    m_site->home(kAlice);
    const QString folder = m_site->root() + QLatin1Char('/') + cache;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(setOwner(folder, owner, group, mode_t(mode)));
    const QString ran = m_site->handshake(QStringLiteral("ran"));
    m_site->installConverter("touch " + QFile::encodeName(quoted(ran)) + "\nexec \"$REAL\" \"$@\"");
    QVERIFY(m_site->startDesk(kAlice, {QStringLiteral("XDG_CACHE_HOME=") + folder}));
    QCOMPARE(m_site->logLines("no private folder for the jobs' files, jobs stay in the spool folder: "), 1);

    QVERIFY(m_site->handOver("homeless.pcl", jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines("no private copy of the job, left in the spool folder: "), 1, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines("no private copy of the job, left in the spool folder: "), 1);
    QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files), QStringList({"homeless.pcl", "homeless.pcl.xml"}));
    QVERIFY(!QFile::exists(ran));
    QVERIFY(printer.parts(QStringLiteral("homeless")).isEmpty());
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void TestMemberDesk::hugeCompanion_data()
{
    QTest::addColumn<bool>("afterConverter"); // renamed over it once the tool ran, else handed over with the job
    QTest::newRow("handed over with its job") << false;
    QTest::newRow("renamed over it after the converter ran") << true;
}

// Bob puts a sparse 3 GB file (no disk used) at a companion: her job desk
// refuses it like a broken one, or does not read it at all, and goes on
// printing.
void TestMemberDesk::hugeCompanion()
{
    QFETCH(bool, afterConverter);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString companion = m_site->spool(QStringLiteral("huge.pcl.xml"));
    const QString sparse = "truncate -s 3G " + quoted(bobStage() + "/c") + " && mv -T " + quoted(bobStage() + "/c") +
                           " " + quoted(companion);
    const QString args = m_site->handshake(QStringLiteral("args"));
    const QString go = m_site->handshake(QStringLiteral("go"));
    if (afterConverter)
        m_site->installConverter(waitingConverter(args, go, "\"$REAL\" \"$@\"", QByteArray()));
    else
        m_site->removeConverter();
    QVERIFY(m_site->startDesk(kAlice));

    const QByteArray job = bytesOf(jobFor(printer.host()));
    if (afterConverter) {
        QVERIFY(m_site->handOver("huge.pcl", job));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(args), 30000);
        QCOMPARE(asBob(sparse), 0);
        QVERIFY(writeBytes(go, QByteArray()));
        waitPrinted(printer, QStringLiteral("huge"));
    } else {
        // Bob hands it over himself, the companion last.
        QVERIFY(writeBytes(bobStage() + "/j", job));
        QVERIFY(setOwner(bobStage() + "/j", kBob, kPorvik, 0660));
        QCOMPARE(asBob("mv -T " + quoted(bobStage() + "/j") + " " + quoted(m_site->spool("huge.pcl")) + " && " + sparse),
                 0);
        const QByteArray refused = "companion file refused: " + QFile::encodeName(companion);
        QTRY_VERIFY_WITH_TIMEOUT(!m_site->deskRunning() || m_site->logLines(refused) == 1, 20000);
        QVERIFY(m_site->deskRunning());
        QTest::qWait(1500);
        QCOMPARE(m_site->logLines(refused), 1);
        QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files), QStringList({"huge.pcl", "huge.pcl.xml"}));
        QVERIFY(printer.parts(QStringLiteral("huge")).isEmpty());
    }
    QVERIFY(m_site->deskRunning());

    // And the next job prints.
    m_site->installConverter();
    QVERIFY(m_site->handOver("after.pcl", jobFor(printer.host(), 2)));
    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(QStringLiteral("after")).join('\n').contains("end after_end.pcl"), 30000);
    QVERIFY(m_site->deskRunning());
}

void TestMemberDesk::jobWithoutPrinter_data()
{
    QTest::addColumn<bool>("byCompanion"); // the companion names the printer, else the converter is put back
    QTest::newRow("the companion names the printer later") << true;
    QTest::newRow("the converter is put back") << false;
}

// Without the converter the companion stays empty and names no printer: the
// job is refused once (not at every look), stays, and nothing is logged in the
// data folder; once a printer is named it prints.
void TestMemberDesk::jobWithoutPrinter()
{
    QFETCH(bool, byCompanion);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    m_site->removeConverter();
    QVERIFY(m_site->startDesk(kAlice));
    const QString data = m_site->porvik(QStringLiteral("data"));

    QVERIFY(m_site->handOver("nowhere.pcl", jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines("printer name refused: "), 1, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines("printer name refused: "), 1);
    QCOMPARE(m_site->logLines(QFile::encodeName(m_site->spool("nowhere.pcl")) + " nowhere"), 1); // one try
    QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files), QStringList({"nowhere.pcl", "nowhere.pcl.xml"}));
    QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(printer.parts(QStringLiteral("nowhere")).isEmpty());

    if (byCompanion)
        QCOMPARE(asBob("printf '<JPrinterName>%s</JPrinterName>' " + printer.host() + " > " +
                       quoted(m_site->spool("nowhere.pcl.xml"))),
                 0);
    else
        m_site->installConverter();
    waitPrinted(printer, QStringLiteral("nowhere"));
    QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList(printer.host()));
    const auto rows = readJobLog(data + QLatin1Char('/') + printer.host() + QStringLiteral("/porvikdb.dll"));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().value("DeviceIP"), printer.host());
}

void TestMemberDesk::keptJobSaidOncePerChange_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<bool>("printedFirst");   // a job of that name printed before
    QTest::addColumn<QByteArray>("content");  // the job file; empty: a whole job
    QTest::addColumn<int>("companionBytes");
    QTest::addColumn<QByteArray>("line");     // what the refusal logs
    QTest::addColumn<QByteArray>("changed");  // what bob then adds a byte to

    QTest::newRow("still being written") << "open" << false << pjlHeader(PjlJob()) << 0
                                         << QStringLiteral("文件正在产生").toUtf8() << QByteArray(".pcl");
    QTest::newRow("a name already used") << "again" << true << QByteArray() << 0
                                         << QByteArray("job is printing, printer state : ") << QByteArray(".pcl");
    QTest::newRow("companion too large") << "fat" << false << QByteArray() << 2 * 1024 * 1024
                                         << QByteArray("companion file refused: ") << QByteArray(".pcl.xml");
}

// A job that stays in the spool folder is logged once, and once more when bob
// changes it, not at every look of the listener (every 500 ms).
void TestMemberDesk::keptJobSaidOncePerChange()
{
    QFETCH(QString, job);
    QFETCH(bool, printedFirst);
    QFETCH(QByteArray, content);
    QFETCH(int, companionBytes);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, changed);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    QVERIFY(m_site->startDesk(kAlice));
    const QByteArray name = job.toUtf8() + ".pcl";
    const QByteArray bytes = content.isEmpty() ? bytesOf(jobFor(printer.host())) : content;
    if (printedFirst) {
        QVERIFY(m_site->handOver(name, bytes));
        waitPrinted(printer, job);
    }

    QVERIFY(m_site->handOver(name, bytes, QByteArray(companionBytes, ' ')));
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines(line), 1, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines(line), 1);
    QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files),
             QStringList({QString::fromUtf8(name), QString::fromUtf8(name + ".xml")}));

    QCOMPARE(asBob("printf x >> " + quoted(m_site->spool(job + QString::fromUtf8(changed)))), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines(line), 2, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines(line), 2);
    QCOMPARE(printer.parts(job).size(), printedFirst ? 2 : 0);
}

void TestMemberDesk::nameThatIsNoText_data()
{
    QTest::addColumn<bool>("beforeStart"); // there when the job desk starts, else handed over while it runs
    QTest::newRow("handed over while it runs") << false;
    QTest::newRow("there at its start") << true;
}

// A job whose name is not text (its bytes are no UTF-8) cannot be named in
// its ticket, the job log or the parts it would go out as: it is removed
// with its companion, with a log line, and never counts as a file of the
// folder; the jobs around it print.
void TestMemberDesk::nameThatIsNoText()
{
    QFETCH(bool, beforeStart);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QByteArray odd = "\xff\xfe.pcl";
    const QByteArray oddPath = QFile::encodeName(m_site->spool(QString())) + odd;
    if (beforeStart) {
        // With one other file: a folder of one file keeps it at the start.
        QVERIFY(m_site->handOver(odd, jobFor(printer.host())));
        QVERIFY(writeBytes(m_site->spool("lonely.pcl"), "x"));
        QVERIFY(m_site->startDesk(kAlice));
        QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files), QStringList("lonely.pcl"));
    } else {
        QVERIFY(m_site->startDesk(kAlice));
        QVERIFY(m_site->handOver(odd, jobFor(printer.host())));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!entryExists(oddPath) && !entryExists(oddPath + ".xml"), 20000);
    QCOMPARE(m_site->logLines("spool entry name is not text, removed: \\xff\\xfe.pcl"), 2); // the job and its companion
    QVERIFY(m_site->log().contains("spool entry name is not text, removed: \\xff\\xfe.pcl.xml"));

    QVERIFY(m_site->handOver("next.pcl", jobFor(printer.host(), 3)));
    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(QStringLiteral("next")).join('\n').contains("end next_end.pcl"), 30000);
}

QTEST_MAIN(TestMemberDesk)
#include "tst_memberdesk.moc"
