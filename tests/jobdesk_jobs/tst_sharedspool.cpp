// Every member of the group writes the spool folder: entries that are no
// regular file, a companion swapped for a link under the intake, and a job
// that changes after its completeness check.
#include "jobdesk.h"
#include "jobprinter.h"
#include "listenfile.h"
#include "printconfig.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

using namespace testjob;

namespace
{

// Whether there is an entry at path, whatever it is (a dangling link too).
bool entryExists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool makeLink(const QString &target, const QString &path)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

PjlJob jobFor(const QString &host, quint32 seed = 1)
{
    PjlJob job;
    job.queue = host.toLatin1();
    job.seed = seed;
    return job;
}

const QByteArray kSecret = "alice's private notes\n";

} // namespace

class TestSharedSpool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void entriesThatAreNoRegularFile_data();
    void entriesThatAreNoRegularFile();
    void companionSwappedForLink_data();
    void companionSwappedForLink();
    void jobChangedAfterItsCheck_data();
    void jobChangedAfterItsCheck();

private:
    QString work(const QString &name) const { return m_work.path() + QLatin1Char('/') + name; }
    std::unique_ptr<JobDesk> m_desk;
    QTemporaryDir m_work; // outside the spool folder: another user's files
};

void TestSharedSpool::initTestCase()
{
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
    QVERIFY(m_work.isValid());
}

void TestSharedSpool::cleanupTestCase()
{
    m_desk.reset();
}

void TestSharedSpool::init()
{
    clearLog();
    QVERIFY(writeBytes(work(QStringLiteral("secret")), kSecret));
}

void TestSharedSpool::cleanup()
{
    setLogHook(nullptr);
    m_desk->setConverterInstalled(true);
    const QDir spool(m_desk->spoolDir());
    for (const QString &name : spool.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QString path = m_desk->spoolPath(name);
        if (!QFile::remove(path))
            QDir().rmdir(path);
    }
    QTRY_COMPARE_WITH_TIMEOUT(g_spoolBusy.loadAcquire(), 0, 10000);
}

void TestSharedSpool::entriesThatAreNoRegularFile_data()
{
    QTest::addColumn<QString>("odd");     // the entry that is no regular file
    QTest::addColumn<QString>("kind");    // link, dangling link, fifo, folder
    QTest::addColumn<QString>("partner"); // the regular file of the pair, which stays

    QTest::newRow("companion links outside") << "atk.pcl.xml"
                                             << "link"
                                             << "atk.pcl";
    QTest::newRow("job file links outside") << "lnk.pcl"
                                            << "link"
                                            << "lnk.pcl.xml";
    QTest::newRow("companion links to nothing") << "dl.pcl.xml"
                                                << "dangling link"
                                                << "dl.pcl";
    QTest::newRow("folder named like a companion") << "dd.pcl.xml"
                                                   << "folder"
                                                   << "dd.pcl";
    QTest::newRow("job file is a FIFO") << "fj.pcl"
                                        << "fifo"
                                        << "fj.pcl.xml";
    QTest::newRow("companion is a FIFO") << "ff.pcl.xml"
                                         << "fifo"
                                         << "ff.pcl";
}

// The entry is refused and removed (a link itself, never what it names),
// its partner is never printed, and a job behind it prints.
void TestSharedSpool::entriesThatAreNoRegularFile()
{
    QFETCH(QString, odd);
    QFETCH(QString, kind);
    QFETCH(QString, partner);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString job = partner.section(QLatin1Char('.'), 0, 0);

    // Outside the folder: a complete job of another user and a private file.
    const QString othersJob = work(job + QStringLiteral("-others.pcl"));
    QVERIFY(writePjlJob(othersJob, jobFor(printer.host(), 7)));
    const QByteArray othersBytes = fileBytes(othersJob);
    const QString secret = work(QStringLiteral("secret"));
    const QString missing = work(QStringLiteral("not-yet"));

    g_spoolBusy.storeRelease(1); // both entries in place before the listener looks
    const QString oddPath = m_desk->spoolPath(odd);
    const QString partnerPath = m_desk->spoolPath(partner);
    if (partner.endsWith(QLatin1String(".xml")))
        QVERIFY(writeBytes(partnerPath, QByteArray()));
    else
        QVERIFY(writePjlJob(partnerPath, jobFor(printer.host())));
    if (kind == QLatin1String("link"))
        QVERIFY(makeLink(odd.endsWith(QLatin1String(".xml")) ? secret : othersJob, oddPath));
    else if (kind == QLatin1String("dangling link"))
        QVERIFY(makeLink(missing, oddPath));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(oddPath));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(oddPath).constData(), 0660), 0);
    g_spoolBusy.storeRelease(0);

    QTRY_VERIFY_WITH_TIMEOUT(!entryExists(oddPath), 20000);
    QCOMPARE(fileBytes(secret), kSecret);
    QCOMPARE(fileBytes(othersJob), othersBytes);
    QVERIFY(!entryExists(missing));
    QVERIFY(printer.parts(job).isEmpty());
    // The listener logs the removal just after it.
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("spool entry is not a regular file, removed: ") + odd), 5000);

    const QString behind = job + QStringLiteral("-behind");
    QVERIFY(m_desk->dropJob(behind + QStringLiteral(".pcl"), jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->spoolFiles(), QStringList(partner), 30000);
    QCOMPARE(printer.parts(behind).size(), 2);
    QVERIFY(printer.parts(job).isEmpty());
}

void TestSharedSpool::companionSwappedForLink_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<bool>("byConverter"); // swapped while the converter runs, else right after the read
    QTest::newRow("after the intake read it") << "swap1" << false;
    QTest::newRow("while the converter runs") << "swap2" << true;
}

// The companion becomes a link to another user's file while the job is in
// the intake: that file is neither read nor written, the job goes out with
// the companion as it was taken, and the link goes.
void TestSharedSpool::companionSwappedForLink()
{
    QFETCH(QString, job);
    QFETCH(bool, byConverter);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString secret = work(QStringLiteral("secret"));
    const QString companion = m_desk->spoolPath(job + QStringLiteral(".pcl.xml"));

    if (byConverter) {
        // Not "ln -sf", which may make its link under a passing name first.
        m_desk->installConverter("rm -f '" + QFile::encodeName(companion) + "' && ln -s '" + QFile::encodeName(secret) +
                                 "' '" + QFile::encodeName(companion) + "'");
    } else {
        // The intake logs what it read as soon as it has read it.
        // Kept by the hook until cleanup drops it, after this function returns.
        auto swapped = std::make_shared<std::atomic<bool>>(false);
        setLogHook([=](const QString &message) {
            if (message.startsWith(QStringLiteral("printer info:")) && !swapped->exchange(true)) {
                QFile::remove(companion);
                makeLink(secret, companion);
            }
        });
    }
    QVERIFY(m_desk->dropJob(job + QStringLiteral(".pcl"), jobFor(printer.host())));

    QTRY_VERIFY_WITH_TIMEOUT(!entryExists(companion), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(printer.parts(job).size(), 2, 20000);
    QVERIFY(printer.jobFile(job, QStringLiteral("ticket-1.xml")).contains("<JobID>" + job.toUtf8() + "</JobID>"));
    QCOMPARE(fileBytes(secret), kSecret);
    for (const QString &line : logLines())
        QVERIFY2(!line.contains(QString::fromUtf8(kSecret.trimmed())), qPrintable(line));
}

void TestSharedSpool::jobChangedAfterItsCheck_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<QString>("moment");    // the log line at which it changes
    QTest::addColumn<QByteArray>("change"); // shell commands on "$JOB" ("$NEXT": the start of a next job)

    const QString read = QStringLiteral("printer info:"); // the intake has read what the converter left
    const QString sending = QStringLiteral("currentPage: 2"); // the first part has gone out
    QTest::newRow("appended") << "grown" << read << QByteArray("cat \"$NEXT\" >> \"$JOB\"");
    QTest::newRow("renamed over") << "swapped" << read
                                  << QByteArray("cp \"$NEXT\" \"$NEXT.tmp\" && mv \"$NEXT.tmp\" \"$JOB\"");
    QTest::newRow("cut short") << "cut" << read << QByteArray("truncate -s -100 \"$JOB\"");
    // 13 KB in the fourth part, same inode.
    QTest::newRow("rewritten in place while it uploads")
        << "rewritten" << sending
        << QByteArray("dd if=/dev/zero of=\"$JOB\" bs=1024 seek=1500 count=13 conv=notrunc status=none");
    QTest::newRow("cut short while it uploads") << "cutlive" << sending << QByteArray("truncate -s 1000000 \"$JOB\"");
}

// The writer (or another member) changes the job after its check: the
// printer gets exactly the checked bytes but is never told to print them,
// the job is logged and listed as failed, and the changed file stays where
// it is, with a log line.
void TestSharedSpool::jobChangedAfterItsCheck()
{
    QFETCH(QString, job);
    QFETCH(QString, moment);
    QFETCH(QByteArray, change);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString path = m_desk->spoolPath(job + QStringLiteral(".pcl"));
    // What the writer goes on with: the start of a second job.
    const QString next = work(QStringLiteral("next.pcl"));
    QVERIFY(writeBytes(next, pjlHeader(jobFor(printer.host(), 9)) + QByteArray(3000, 'n')));
    const QByteArray script = "JOB='" + QFile::encodeName(path) + "'; NEXT='" + QFile::encodeName(next) + "'; " + change;
    auto changed = std::make_shared<std::atomic<bool>>(false);
    setLogHook([=](const QString &message) {
        if (message.contains(moment) && !changed->exchange(true))
            QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromUtf8(script)});
    });

    PjlJob large = jobFor(printer.host(), 3);
    large.totalSize = 6 * 409600 + 100;
    large.title = job.toUtf8();
    const QString staged = work(QStringLiteral("staged.pcl"));
    QVERIFY(writePjlJob(staged, large));
    const QByteArray checked = fileBytes(staged);
    QVERIFY(m_desk->dropFile(job + QStringLiteral(".pcl"), checked));
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("JOB FAILED")), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(g_spoolBusy.loadAcquire(), 0, 10000);
    QVERIFY(changed->load());

    QCOMPARE(printer.parts(job).size(), 7);
    QVERIFY(!printer.parts(job).join('\n').contains(QStringLiteral("_end.pcl")));
    QCOMPARE(printer.jobFile(job, QStringLiteral("data.prn")), checked);
    QVERIFY(logContains(QStringLiteral("spool file changed after its check, job not finished: ") + path));
    QCOMPARE(m_desk->jobRow(job).section('|', 2, 2), QStringLiteral("打印失败"));
    QCOMPARE(m_desk->jobRow(job).split('|').size(), 5); // marked: it leaves the list
    for (const JobWatchItem &w : qAsConst(m_desk->controller()->m_jobWatchList))
        QVERIFY(w.jobId != job);
    QString logged;
    for (const auto &row : m_desk->jobLogRows(printer.host()))
        if (row.value("JobName") == job)
            logged += row.value("JobInfo") + "/" + row.value("Result") + ";";
    QCOMPARE(logged, QStringLiteral("打印失败/1;"));

    // Nothing of what the writer wrote is lost.
    QVERIFY(logContains(QStringLiteral("spool file changed after its check, kept: ") + path));
    QTest::qWait(1200);
    QVERIFY(m_desk->spoolFiles().contains(job + QStringLiteral(".pcl")));
    QVERIFY(fileBytes(path) != checked);
}

QTEST_MAIN(TestSharedSpool)
#include "tst_sharedspool.moc"
