// What earlier files and tries leave behind must not reach the next job: a
// repeated name and a file still being written before a cancel reply, a job
// refused for its printer name before the next job's ticket, and a job-log
// file that lost its table before the next job's row.
#include "jobdesk.h"
#include "jobprinter.h"
#include "joblogschema.h"
#include "listenfile.h"
#include "printconfig.h"

#include <QFile>
#include <QNetworkInterface>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace testjob;

namespace
{

PjlJob jobFor(const QString &host, const QString &title = QStringLiteral("doc.pdf"))
{
    PjlJob job;
    job.queue = host.toLatin1();
    job.title = title.toUtf8();
    return job;
}

// This computer's addresses as a job ticket names them: every IPv4 address
// of a running interface other than loopback, with its hardware address.
QString hostInterfaces(QString *lastAddress)
{
    QStringList entries;
    for (const QNetworkInterface &nic : QNetworkInterface::allInterfaces()) {
        const auto f = nic.flags();
        if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::IsRunning) ||
            (f & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &e : nic.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            *lastAddress = e.ip().toString();
            entries << *lastAddress + QLatin1Char('/') + nic.hardwareAddress();
        }
    }
    return entries.join(QLatin1Char(';'));
}

// Runs statements on a database file of its own connection.
bool runSql(const QString &path, const QStringList &statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("leftover"));
        db.setDatabaseName(path);
        ok = db.open();
        for (const QString &sql : statements)
            ok = ok && QSqlQuery(db).exec(sql);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("leftover"));
    return ok;
}

} // namespace

class TestJobLeftovers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void cancelAfterSkippedTriesKeepsTheirFiles();
    void ticketAfterRefusedPrinterName();
    void jobLogFileWithoutItsTable_data();
    void jobLogFileWithoutItsTable();

private:
    void waitIdle();
    PrintConfig *pc() const { return m_desk->controller(); }
    std::unique_ptr<JobDesk> m_desk;
};

void TestJobLeftovers::initTestCase()
{
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
}

void TestJobLeftovers::cleanupTestCase()
{
    m_desk.reset();
}

void TestJobLeftovers::init()
{
    clearLog();
}

void TestJobLeftovers::waitIdle()
{
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->spoolFiles().isEmpty(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(g_spoolBusy.loadAcquire(), 0, 10000);
}

// Files a test left in the spool folder must not reach the next test.
void TestJobLeftovers::cleanup()
{
    for (const QString &name : m_desk->spoolFiles())
        QFile::remove(m_desk->spoolPath(name));
    waitIdle();
}

// Job "ee" is printed and watched. A second "ee.pcl" is skipped as a
// repeated name and "big.pcl" is still being written; then the cancel of
// "ee" is answered. Neither file is the job in the pipeline: both stay.
void TestJobLeftovers::cancelAfterSkippedTriesKeepsTheirFiles()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    QVERIFY(m_desk->dropJob(QStringLiteral("ee.pcl"), jobFor(printer.host())));
    waitIdle();
    QVERIFY(!m_desk->jobRow(QStringLiteral("ee")).isEmpty());
    clearLog();

    // The cancel goes out right after a skipped "ee.pcl" that followed a try
    // of "big.pcl", from the controller's own thread.
    QSignalSpy removed(pc(), &PrintConfig::sigRemoveJob);
    bool bigTried = false;
    bool cancelSent = false;
    const QMetaObject::Connection watch = connect(
        pc()->m_listenFile, &ListenFile::sigFindFile, this,
        [&](QString path) {
            if (path.endsWith(QLatin1String("/big.pcl"))) {
                bigTried = true;
            } else if (bigTried && !cancelSent && path.endsWith(QLatin1String("/ee.pcl"))) {
                cancelSent = true;
                pc()->onCancelJob(QStringLiteral("ee"));
            }
        },
        Qt::QueuedConnection);

    const PjlJob big = jobFor(printer.host());
    QVERIFY(m_desk->dropFile(QStringLiteral("big.pcl"), pjlHeader(big) + QByteArray(5000, 'x')));
    QVERIFY(m_desk->dropJob(QStringLiteral("ee.pcl"), jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 20000);
    disconnect(watch);
    QVERIFY(logContains(QStringLiteral("文件正在产生")));
    QVERIFY(logContains(QStringLiteral("job is printing, printer state : ")));
    QCOMPARE(removed.first().first().toString(), QStringLiteral("ee"));
    QCOMPARE(printer.requestBodies(QStringLiteral("cancelJob")), QList<QByteArray>({"jobID=ee"}));

    // A removal would run in the listener's thread: give it time to show.
    QTest::qWait(1500);
    QCOMPARE(m_desk->spoolFiles(), QStringList({"big.pcl", "big.pcl.xml", "ee.pcl", "ee.pcl.xml"}));
    QVERIFY(!logContains(QStringLiteral("--------clear status")));
}

// A job refused for its printer name, offered again and again, then a job
// for a real printer: that job's ticket names this computer's addresses
// exactly as a first job's ticket would.
void TestJobLeftovers::ticketAfterRefusedPrinterName()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    QVERIFY(m_desk->dropJob(QStringLiteral("nowhere.pcl"), jobFor(QStringLiteral("queue name"))));
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("printer name refused: queue name")), 20000);

    QVERIFY(m_desk->dropJob(QStringLiteral("after.pcl"), jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->spoolFiles(), QStringList({"nowhere.pcl", "nowhere.pcl.xml"}), 30000);
    QCOMPARE(printer.parts(QStringLiteral("after")).size(), 2);

    QString address;
    const QString interfaces = hostInterfaces(&address);
    const QByteArray ticket = printer.jobFile(QStringLiteral("after"), QStringLiteral("ticket-1.xml"));
    QVERIFY2(ticket.contains("\n <IPAddr>" + address.toUtf8() + "</IPAddr>\n"), ticket.constData());
    QVERIFY2(ticket.endsWith("<MediaSize>A4</MediaSize><HostInterface>" + interfaces.toUtf8() +
                             "</HostInterface><Sec>comman</Sec></Attribute>\n\n"),
             ticket.constData());
    QCOMPARE(printer.jobFile(QStringLiteral("after"), QStringLiteral("ticket-end.xml")), ticket);
}

void TestJobLeftovers::jobLogFileWithoutItsTable_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<QStringList>("before");  // statements run on the file first; none: an empty file
    QTest::addColumn<QStringList>("oldJobs"); // JobName of the rows kept from before

    QTest::newRow("empty file") << "nolog1" << QStringList() << QStringList();
    QTest::newRow("table dropped") << "nolog2"
                                   << QStringList({kCreate, "drop table R_JobInfo", "create table other(x)"})
                                   << QStringList();
    QTest::newRow("table with a row")
        << "nolog3"
        << QStringList(
               {kCreate, "insert into R_JobInfo (GUID, JobType, JobName) values ('g-old', 1, 'old.pdf')"})
        << QStringList({"old.pdf"});
}

// The job log of a printer exists but lacks its table: a whole job through
// the desk still gets its row, and rows already there stay.
void TestJobLeftovers::jobLogFileWithoutItsTable()
{
    QFETCH(QString, job);
    QFETCH(QStringList, before);
    QFETCH(QStringList, oldJobs);
    JobPrinter printer({"--states", "Completed", "--state-interval-ms", "100"});
    QVERIFY(printer.start());
    const QString dbPath = m_desk->jobLogPath(printer.host());
    QFile::remove(dbPath);
    QVERIFY(QDir().mkpath(QFileInfo(dbPath).absolutePath()));
    if (before.isEmpty()) {
        QFile empty(dbPath);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(runSql(dbPath, before));
    }

    QVERIFY(m_desk->dropJob(job + QStringLiteral(".pcl"), jobFor(printer.host(), job)));
    waitIdle();
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->jobRow(job).section('|', 2, 2), QStringLiteral("打印完成"), 20000);

    QStringList names;
    QMap<QString, QString> row;
    for (const auto &r : m_desk->jobLogRows(printer.host())) {
        names << r["JobName"];
        if (r["JobName"] == job)
            row = r;
    }
    QCOMPARE(names, oldJobs + QStringList(job));
    QCOMPARE(row["JobInfo"], QStringLiteral("打印完成"));
    QCOMPARE(row["Result"], QStringLiteral("1"));
    QCOMPARE(row["DeviceIP"], printer.host());
    QVERIFY(!logContains(QStringLiteral("no such table")));
}

QTEST_MAIN(TestJobLeftovers)
#include "tst_jobleftovers.moc"
