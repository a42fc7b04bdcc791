// The status tracker's reading of job-status and printer-status answers,
// and its polling against the printer stand-in.
#include "listenstatus.h"
#include "jobprinter.h"

#include <QtTest>

using namespace testjob;

namespace {

// A tracker running in its own thread, as in the job desk; its slots are
// called in that thread and its signals collected in the test's thread.
struct TrackerRun {
    ListenStatus tracker;
    QObject context;
    QList<QStringList> jobWords;     // {word, job id}
    QList<QVariantList> printers;    // {count, ip, codes}

    TrackerRun()
    {
        QObject::connect(&tracker, &ListenStatus::sigSendPrinterStatus, &context,
                         [this](QString word, QString id) { jobWords << QStringList{word, id}; }, Qt::QueuedConnection);
        QObject::connect(&tracker, &ListenStatus::sigPrinterStatus, &context,
                         [this](int n, QString ip, QStringList codes) { printers << QVariantList{n, ip, codes}; },
                         Qt::QueuedConnection);
        tracker.start();
    }
    ~TrackerRun()
    {
        tracker.quit();
        tracker.wait();
    }
    template <typename F> void call(F f) { QMetaObject::invokeMethod(&tracker, f, Qt::BlockingQueuedConnection); }
};

} // namespace

class TestListenStatus : public QObject
{
    Q_OBJECT
private slots:
    void jobAnswer_data();
    void jobAnswer();
    void finalAnswerDropsEveryEntryOfTheJob();
    void printerAnswer_data();
    void printerAnswer();
    void printerListAndPolls();
};

void TestListenStatus::jobAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("word");
    QTest::addColumn<bool>("dropped");

    QTest::newRow("completed") << 200 << "Completed" << "Completed" << true;
    QTest::newRow("completed beats printing") << 200 << "Printing Completed" << "Completed" << true;
    QTest::newRow("processing beats printing") << 200 << "Printing, Processing" << "Processing" << false;
    QTest::newRow("cancelled") << 200 << "state=Cancelled" << "Cancelled" << true;
    QTest::newRow("failure") << 200 << "Failure" << "Failure" << true;
    QTest::newRow("queueing") << 200 << "Queueing" << "Queueing" << false;
    QTest::newRow("2001 inside a number") << 200 << "120015" << "2001" << false;
    QTest::newRow("3001") << 200 << "3001" << "3001" << false;
    QTest::newRow("lower case") << 200 << "completed" << "Cancelled" << true;
    QTest::newRow("one l") << 200 << "Canceled" << "Cancelled" << true;
    QTest::newRow("empty body") << 200 << "" << "Cancelled" << true;
    QTest::newRow("no answer") << 0 << "" << "0" << false;
    QTest::newRow("server error") << 500 << "Completed" << "0" << false;
}

void TestListenStatus::jobAnswer()
{
    QFETCH(int, status);
    QFETCH(QString, reply);
    QFETCH(QString, word);
    QFETCH(bool, dropped);

    JobPrinter printer({"--unknown-job-reply", "Queueing"});
    QVERIFY(printer.start());
    const QString ip = printer.host();
    TrackerRun run;
    ListenStatus &t = run.tracker;
    run.call([&] {
        t.addJobWatch("j1", "a.pdf", "2026-12-10 10:00:00", ip);
        t.addJobWatch("j2", "b.pdf", "2026-12-10 10:00:00", ip);
        t.onPrinterCallback(status, 1, reply, "j1", ip);
    });
    QTRY_VERIFY_WITH_TIMEOUT(!run.jobWords.isEmpty(), 20000);
    QCOMPARE(run.jobWords.first(), QStringList({word, "j1"}));

    // The next cycle asks for j1 again unless the answer ended its tracking.
    run.call([&] { t.onTimeOut(); });
    QTRY_VERIFY_WITH_TIMEOUT(printer.requestBodies("getJobStatus").contains("jobID=j2"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(printer.requestBodies("getJobStatus").contains("jobID=j1"), !dropped, 20000);
}

void TestListenStatus::finalAnswerDropsEveryEntryOfTheJob()
{
    JobPrinter printer({"--unknown-job-reply", "Printing"});
    QVERIFY(printer.start());
    const QString ip = printer.host();
    auto asked = [&](const QByteArray &id) { return printer.requestBodies("getJobStatus").count("jobID=" + id); };
    TrackerRun run;
    ListenStatus &t = run.tracker;
    run.call([&] {
        t.addJobWatch("same", "a.pdf", "", ip);
        t.addJobWatch("same", "a.pdf", "", ip);
        t.addJobWatch("other", "b.pdf", "", ip);
        t.onTimeOut();
    });
    // Both entries of the id are asked in every cycle (the 2 s timer adds cycles).
    QTRY_VERIFY_WITH_TIMEOUT(asked("other") >= 1 && asked("same") == 2 * asked("other"), 20000);
    QTRY_VERIFY(run.jobWords.size() >= 3);
    QCOMPARE(run.jobWords.first().first(), QStringLiteral("Printing"));

    // One final answer ends both entries; an unknown id removes nothing.
    int other = 0;
    run.call([&] {
        t.onPrinterCallback(200, 1, "Completed", "same", ip);
        t.removeJobId("nobody");
        other = asked("other");
        t.onTimeOut();
    });
    QTRY_VERIFY_WITH_TIMEOUT(asked("other") >= other + 2, 20000);
    const int same = asked("same");
    QTRY_VERIFY_WITH_TIMEOUT(asked("other") >= other + 3, 20000);
    QCOMPARE(asked("same"), same);
}

void TestListenStatus::printerAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("codes");

    QTest::newRow("two codes") << 200 << "PrintErrorNumber:TIBORO,2,10001,3.2" << 2 << QStringList{"10001", "32"};
    QTest::newRow("text around") << 200 << "x PrintErrorNumber:TIBORO,1,\"7.5\",99 tail" << 1 << QStringList{"75"};
    QTest::newRow("zero") << 200 << "PrintErrorNumber:TIBORO,0" << 0 << QStringList();
    QTest::newRow("no keyword") << 200 << "2,1,2" << 0 << QStringList();
    QTest::newRow("lower-case keyword") << 200 << "printerrornumber:tiboro,1,5" << 0 << QStringList();
    QTest::newRow("count not a number") << 200 << "PrintErrorNumber:TIBORO,x,5" << 0 << QStringList();
    QTest::newRow("doubled keyword")
        << 200 << "PrintErrorNumber:TIBORO,2,11PrintErrorNumber:TIBORO,9,9" << 2 << QStringList{"11"};
    QTest::newRow("short count") << 200 << "PrintErrorNumber:TIBORO,5,1,2" << 5 << QStringList{"1", "2"};
    QTest::newRow("count with nothing after") << 200 << "PrintErrorNumber:TIBORO,3" << 3 << QStringList();
    QTest::newRow("empty codes kept") << 200 << "PrintErrorNumber:TIBORO,2,,4" << 2 << QStringList{"", "4"};
    QTest::newRow("not found") << 404 << "PrintErrorNumber:TIBORO,1,5" << 0 << QStringList{"12121212"};
    QTest::newRow("no answer") << 0 << "" << 0 << QStringList{"12121212"};
}

void TestListenStatus::printerAnswer()
{
    QFETCH(int, status);
    QFETCH(QString, reply);
    QFETCH(int, count);
    QFETCH(QStringList, codes);

    ListenStatus tracker;
    QSignalSpy spy(&tracker, &ListenStatus::sigPrinterStatus);
    tracker.onPrintMessage(status, 1, reply, QString(), "192.168.1.20");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).toInt(), count);
    QCOMPARE(spy.first().at(1).toString(), QStringLiteral("192.168.1.20"));
    QCOMPARE(spy.first().at(2).toStringList(), codes);
}

void TestListenStatus::printerListAndPolls()
{
    JobPrinter printer({"--printer-status", "2,1001,2.002"});
    QVERIFY(printer.start());
    const QString ip = printer.host();
    const QString other = JobPrinter::unusedHost();
    TrackerRun run;
    ListenStatus &t = run.tracker;

    // Without "now" nothing is asked; an empty list with "now" asks nobody.
    run.call([&] {
        t.onAddPrinterAsk(QString(), {ip, other}, false);
        t.onAddPrinterAsk(QString(), {}, true);
    });
    QTest::qWait(300);
    QVERIFY(run.printers.isEmpty());

    // "now" with an empty ip asks every printer of the new list.
    run.call([&] { t.onAddPrinterAsk(QString(), {ip, other}, true); });
    QTRY_COMPARE_WITH_TIMEOUT(run.printers.size(), 2, 20000);
    QMap<QString, QStringList> byIp;
    for (const QVariantList &p : qAsConst(run.printers))
        byIp[p.at(1).toString()] = p.at(2).toStringList();
    QCOMPARE(byIp[ip], QStringList({"1001", "2002"}));
    QCOMPARE(byIp[other], QStringList({"12121212"}));

    // A given ip is asked alone, listed or not.
    run.printers.clear();
    run.call([&] { t.onAddPrinterAsk(ip, {other}, true); });
    QTRY_COMPARE_WITH_TIMEOUT(run.printers.size(), 1, 20000);
    QCOMPARE(run.printers.first().at(1).toString(), ip);
    QCOMPARE(printer.requestBodies("printerstatus").size(), 2);
}

QTEST_MAIN(TestListenStatus)
#include "tst_listenstatus.moc"
