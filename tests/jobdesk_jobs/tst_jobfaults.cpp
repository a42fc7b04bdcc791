// Refusals and faults on a job's road: refused or failed uploads, cancels,
// repeated names, files still being written, missing printer information,
// awkward file names, and spool files that must not starve the others.
#include "httpservices.h"
#include "jobdesk.h"
#include "jobprinter.h"
#include "listenfile.h"
#include "listenstatus.h"
#include "printconfig.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTableView>
#include <QtTest>

using namespace testjob;

namespace
{

const qint64 kPart = 409600;

PjlJob jobFor(const QString &host, qint64 size = 0, const QString &title = QStringLiteral("doc.pdf"))
{
    PjlJob job;
    job.queue = host.toLatin1();
    job.title = title.toUtf8();
    job.totalSize = size;
    return job;
}

} // namespace

class TestJobFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void uploadOutcome_data();
    void uploadOutcome();
    void failureMarksEarlierJobInPath();
    void emptyJobNameMatchesNoPath();
    void awkwardFileNames_data();
    void awkwardFileNames();
    void repeatedJobName();
    void incompleteFileCompletesLater();
    void cancelFromJobList();
    void cancelAnsweredDuringAnotherUpload();
    void idsDifferingInBarAndUnderscore();
    void refusedFilesDoNotStarveOthers();

private:
    void waitIdle();
    // The job-list row whose display name is `title`, or empty.
    QString rowShowing(const QString &title) const;
    // Right-clicks the table row and chooses "取消" in the menu that opens;
    // true when that menu showed with its one entry.
    bool cancelFromMenu(int row);
    PrintConfig *pc() const { return m_desk->controller(); }
    std::unique_ptr<JobDesk> m_desk;
};

void TestJobFaults::initTestCase()
{
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
}

void TestJobFaults::cleanupTestCase()
{
    m_desk.reset();
}

void TestJobFaults::init()
{
    clearLog();
}

// The pipeline has finished with every file it was handed.
void TestJobFaults::waitIdle()
{
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->spoolFiles().isEmpty(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(g_spoolBusy.loadAcquire(), 0, 10000);
}

QString TestJobFaults::rowShowing(const QString &title) const
{
    for (const QString &row : qAsConst(pc()->mPrinterTask.m_workFileList))
        if (row.section(QLatin1Char('|'), 1, 1) == title)
            return row;
    return QString();
}

bool TestJobFaults::cancelFromMenu(int row)
{
    PrinterTask &task = pc()->mPrinterTask;
    auto *view = task.findChild<QTableView *>(QStringLiteral("printertasktableView"));
    if (!view || row < 0)
        return false;
    const QRect cell = view->visualRect(view->model()->index(row, 1));
    bool menuSeen = false;
    QTimer chooser;
    chooser.setInterval(50);
    connect(&chooser, &QTimer::timeout, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        chooser.stop();
        menuSeen = menu->actions().size() == 1 && menu->actions().first()->text() == QStringLiteral("取消");
        menu->actions().first()->trigger();
        menu->close();
    });
    chooser.start();
    QContextMenuEvent click(QContextMenuEvent::Mouse, cell.center(),
                            view->viewport()->mapToGlobal(cell.center()));
    QApplication::sendEvent(view->viewport(), &click);
    return menuSeen;
}

void TestJobFaults::uploadOutcome_data()
{
    QTest::addColumn<QStringList>("printerArgs"); // empty: no printer at all
    QTest::addColumn<QString>("job");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QStringList>("parts"); // what the printer saw
    QTest::addColumn<QString>("state");     // the job-list row's; "等待中": under watch

    const QStringList none;
    const QString denied = QStringLiteral("打印失败:权限拒绝打印！");
    const QString fault = QStringLiteral("打印失败:打印机异常！");
    const QString waiting = QStringLiteral("等待中");
    QTest::newRow("2001 on part 2 of 3")
        << QStringList{"--print-replies", "1001,2001"} << "deny2" << 2 * kPart + 500
        << QStringList{"1 deny2_1.pcl 409600 1001", "2 deny2_2.pcl 409600 2001"} << denied;
    QTest::newRow("3001 printer error") << QStringList{"--print-replies", "3001"} << "err3" << kPart + 1
                                        << QStringList{"1 err3_1.pcl 409600 3001"} << fault;
    QTest::newRow("HTTP 500") << QStringList{"--print-replies", "http:500"} << "http500" << qint64(5000)
                              << QStringList{"1 http500_1.pcl 5000 http:500"} << fault;
    QTest::newRow("printer unreachable") << none << "gone" << qint64(5000) << QStringList() << fault;
    QTest::newRow("printer never answers")
        << QStringList{"--print-replies", "none", "--hang-ms", "20000"} << "mute" << qint64(5000)
        << QStringList{"1 mute_1.pcl 5000 none"} << fault;
    QTest::newRow("exactly one part")
        << QStringList{"--states", "Queueing"} << "one" << kPart
        << QStringList{"1 one_1.pcl 409600 1001", "end one_end.pcl 3 1001"} << waiting;
    QTest::newRow("empty 200 answers go on")
        << QStringList{"--print-replies", "empty", "--states", "Queueing"} << "quiet" << kPart + 7
        << QStringList{"1 quiet_1.pcl 409600 empty", "2 quiet_2.pcl 7 empty", "end quiet_end.pcl 3 empty"}
        << waiting;
    QTest::newRow("final part refused")
        << QStringList{"--print-replies", "1001,2001", "--states", "Queueing"} << "lastno" << qint64(3000)
        << QStringList{"1 lastno_1.pcl 3000 1001", "end lastno_end.pcl 3 2001"} << denied;
}

// Whatever its end, the job is in the job list and in the job log: under
// watch and waiting, or failed and marked to leave the list.
void TestJobFaults::uploadOutcome()
{
    QFETCH(QStringList, printerArgs);
    QFETCH(QString, job);
    QFETCH(qint64, size);
    QFETCH(QStringList, parts);
    QFETCH(QString, state);
    const bool watched = state == QStringLiteral("等待中");

    // A printer that never answers is given up on after 5 s instead of 60 s.
    const bool mute = printerArgs.contains(QStringLiteral("none"));
    HttpServices::setTransferTimeoutForTest(mute ? 5000 : HttpServices::kDefaultTransferTimeoutMs);
    JobPrinter printer(printerArgs);
    if (!printerArgs.isEmpty())
        QVERIFY(printer.start());
    const QString host = printerArgs.isEmpty() ? JobPrinter::unusedHost() : printer.host();
    QVERIFY(m_desk->dropJob(job + QStringLiteral(".pcl"), jobFor(host, size, job)));
    waitIdle();

    HttpServices::setTransferTimeoutForTest(HttpServices::kDefaultTransferTimeoutMs);
    QCOMPARE(printer.parts(job).join(QStringLiteral("; ")), parts.join(QStringLiteral("; ")));
    QCOMPARE(logContains(QStringLiteral("JOB FAILED")), !watched);
    bool inWatch = false;
    for (const JobWatchItem &w : qAsConst(pc()->m_jobWatchList))
        inWatch = inWatch || w.jobId == job;
    QCOMPARE(inWatch, watched);
    const QStringList row = m_desk->jobRow(job).split('|');
    QCOMPARE(row.value(1), job);
    QCOMPARE(row.value(2), state);
    QCOMPARE(row.size(), watched ? 4 : 5);
    QList<QMap<QString, QString>> rows;
    for (const auto &r : m_desk->jobLogRows(host))
        if (r["JobName"] == job)
            rows << r;
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first()["JobInfo"], watched ? QStringLiteral("待打印") : QStringLiteral("打印失败"));
    QCOMPARE(rows.first()["Result"], watched ? QStringLiteral("-1") : QStringLiteral("1"));
    // Accepted parts only become job data at the printer.
    qint64 accepted = 0;
    for (const QString &part : parts) {
        const QStringList fields = part.split(' ');
        if (fields[0] != QLatin1String("end") && fields[3].contains(QLatin1String("1001")))
            accepted += fields[2].toLongLong();
    }
    QCOMPARE(qint64(printer.jobFile(job, QStringLiteral("data.prn")).size()), accepted);
}

// A failed upload ends every still-watched job whose id occurs in the spool path.
void TestJobFaults::failureMarksEarlierJobInPath()
{
    JobPrinter first({"--states", "Queueing"});
    JobPrinter second({"--print-replies", "2001"});
    QVERIFY(first.start());
    QVERIFY(second.start());
    QVERIFY(m_desk->dropJob(QStringLiteral("rep.pcl"), jobFor(first.host())));
    waitIdle();
    QCOMPARE(m_desk->jobRow(QStringLiteral("rep")).split('|').size(), 4);

    QVERIFY(m_desk->dropJob(QStringLiteral("rep2.pcl"), jobFor(second.host())));
    waitIdle();
    const QStringList fields = m_desk->jobRow(QStringLiteral("rep")).split('|');
    QCOMPARE(fields.size(), 5);
    QCOMPARE(fields[2], QStringLiteral("打印失败:权限拒绝打印！"));
    for (const JobWatchItem &w : qAsConst(pc()->m_jobWatchList))
        QVERIFY(w.jobId != QLatin1String("rep"));
}

// A job named "" (spool file ".pcl") is in every path as a substring; a
// later job's failure must leave it and its row alone.
void TestJobFaults::emptyJobNameMatchesNoPath()
{
    JobWatchItem empty;
    empty.jobId = QString();
    empty.displayName = QStringLiteral("e.pdf");
    pc()->m_jobWatchList.append(empty);
    const QString row = QStringLiteral("|e.pdf|等待中|2026-12-10 10:00:00");
    pc()->mPrinterTask.m_workFileList.append(row);

    pc()->RemoveFile = m_desk->spoolPath(QStringLiteral("other.pcl"));
    pc()->onMessageCallback(200, 1, QStringLiteral("2001"), QStringLiteral("other"),
                            JobPrinter::unusedHost());
    g_spoolBusy.storeRelease(0);

    QCOMPARE(m_desk->jobRow(QString()), row);
    bool stillWatched = false;
    for (const JobWatchItem &w : qAsConst(pc()->m_jobWatchList))
        stillWatched |= w.jobId.isEmpty();
    QVERIFY(stillWatched);

    pc()->mPrinterTask.m_workFileList.removeAll(row);
    for (int i = pc()->m_jobWatchList.size() - 1; i >= 0; --i)
        if (pc()->m_jobWatchList.at(i).jobId.isEmpty())
            pc()->m_jobWatchList.removeAt(i);
}

void TestJobFaults::awkwardFileNames_data()
{
    QTest::addColumn<QString>("name");  // spool file name and document title
    QTest::addColumn<QString>("rowId"); // job id as the job-list row writes it
    QTest::newRow("quote") << "it's"
                           << "it's";
    QTest::newRow("percent one") << "100%1 %2"
                                 << "100%1 %2";
    QTest::newRow("bar") << "a|b"
                         << "a/b";
    QTest::newRow("markup") << "x<&y"
                            << "x<&y";
    QTest::newRow("chinese") << QStringLiteral("季度报告") << QStringLiteral("季度报告");
}

void TestJobFaults::awkwardFileNames()
{
    QFETCH(QString, name);
    QFETCH(QString, rowId);
    JobPrinter printer({"--states", "Completed", "--state-interval-ms", "100"});
    QVERIFY(printer.start());
    const QString host = printer.host();
    QVERIFY(m_desk->dropJob(name + QStringLiteral(".pcl"), jobFor(host, 3000, name)));
    waitIdle();

    QCOMPARE(printer.parts(name),
             QStringList({"1 " + name + "_1.pcl 3000 1001", "end " + name + "_end.pcl 3 1001"}));
    // The row keeps four fields (plus its mark) and shows the name, "|" made "_".
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->jobRow(rowId).section('|', 2, 2), QStringLiteral("打印完成"), 20000);
    const QStringList fields = m_desk->jobRow(rowId).split('|');
    QCOMPARE(fields.size(), 5);
    QString shown = name;
    QCOMPARE(fields[1], shown.replace('|', '_'));
    // The job log holds the name exactly as it is.
    const auto rows = m_desk->jobLogRows(host);
    bool found = false;
    for (const auto &row : rows) {
        if (row["JobName"] == name) {
            found = true;
            QCOMPARE(row["JobInfo"], QStringLiteral("打印完成"));
        }
    }
    QVERIFY2(found, qPrintable(name));
}

void TestJobFaults::repeatedJobName()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString host = printer.host();
    QVERIFY(m_desk->dropJob(QStringLiteral("dup.pcl"), jobFor(host)));
    waitIdle();
    QCOMPARE(printer.parts(QStringLiteral("dup")).size(), 2);

    clearLog();
    QVERIFY(m_desk->dropJob(QStringLiteral("dup.pcl"), jobFor(host)));
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("job is printing, printer state : ")), 20000);
    QTest::qWait(1200);
    // Left in place, not printed again, and the desk stays free for other jobs.
    QCOMPARE(m_desk->spoolFiles(), QStringList({"dup.pcl", "dup.pcl.xml"}));
    QCOMPARE(printer.parts(QStringLiteral("dup")).size(), 2);
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
    QFile::remove(m_desk->spoolPath(QStringLiteral("dup.pcl")));
    QFile::remove(m_desk->spoolPath(QStringLiteral("dup.pcl.xml")));
}

void TestJobFaults::incompleteFileCompletesLater()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString host = printer.host();
    const PjlJob job = jobFor(host);
    const QString path = m_desk->spoolPath(QStringLiteral("late.pcl"));
    // Header only: the filter is still writing pages.
    QVERIFY(m_desk->dropFile(QStringLiteral("late.pcl"), pjlHeader(job)));
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("文件正在产生")), 20000);
    // Close sequence written but a line feed after it: still not complete.
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write(pjlClose() + "\n");
    }
    clearLog();
    QTRY_VERIFY_WITH_TIMEOUT(logContains(QStringLiteral("文件未写完")), 20000);
    QCOMPARE(m_desk->spoolFiles(), QStringList({"late.pcl", "late.pcl.xml"}));
    QVERIFY(printer.parts(QStringLiteral("late")).isEmpty());

    const QByteArray whole = pjlHeader(job) + QByteArray(1000, 'p') + pjlClose();
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(whole);
    }
    waitIdle();
    QCOMPARE(printer.jobFile(QStringLiteral("late"), QStringLiteral("data.prn")), whole);
}

// Right-click on the job's row, choose the menu entry: the printer is asked
// to cancel, tracking stops and the row leaves the list.
void TestJobFaults::cancelFromJobList()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString host = printer.host();
    QVERIFY(m_desk->dropJob(QStringLiteral("cx.pcl"), jobFor(host)));
    waitIdle();
    QVERIFY(!m_desk->jobRow(QStringLiteral("cx")).isEmpty());

    PrinterTask &task = pc()->mPrinterTask;
    task.show();
    auto *view = task.findChild<QTableView *>(QStringLiteral("printertasktableView"));
    QVERIFY(view);
    const int row = task.m_workFileList.indexOf(m_desk->jobRow(QStringLiteral("cx")));
    QVERIFY(row >= 0);
    QCOMPARE(view->model()->index(row, 0).data().toString(), QStringLiteral("doc.pdf"));

    QSignalSpy removed(pc(), &PrintConfig::sigRemoveJob);
    QVERIFY(cancelFromMenu(row));
    QCOMPARE(view->selectionModel()->selectedRows().value(0).row(), row);
    QCOMPARE(m_desk->jobRow(QStringLiteral("cx")).split('|').size(), 5);

    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 15000);
    QCOMPARE(removed.first().first().toString(), QStringLiteral("cx"));
    QCOMPARE(printer.requestBodies(QStringLiteral("cancelJob")), QList<QByteArray>({"jobID=cx"}));
    const int polls = printer.requestBodies(QStringLiteral("getJobStatus")).size();
    QTest::qWait(2500);
    QVERIFY(printer.requestBodies(QStringLiteral("getJobStatus")).size() <= polls + 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->jobRow(QStringLiteral("cx")).isEmpty(), 15000);
    task.hide();
}

// Job A is cancelled while job B waits for its first part's answer: the cancel
// reply must not end B or remove B's spool files.
void TestJobFaults::cancelAnsweredDuringAnotherUpload()
{
    JobPrinter printerA({"--states", "Queueing"});
    JobPrinter printerB({"--print-replies", "none,1001", "--hang-ms", "3000", "--states", "Queueing"});
    QVERIFY(printerA.start());
    QVERIFY(printerB.start());
    const QString hostA = printerA.host();
    const QString hostB = printerB.host();
    QVERIFY(m_desk->dropJob(QStringLiteral("ja.pcl"), jobFor(hostA)));
    waitIdle();

    // The upload runs in a nested event loop, so the cancel is sent and the
    // pipeline looked at from a timer that fires inside that loop.
    QSignalSpy removed(pc(), &PrintConfig::sigRemoveJob);
    bool cancelSent = false;
    bool looked = false;
    QString jobInPipeline;
    bool filesThere = false;
    QTimer probe;
    probe.setInterval(20);
    connect(&probe, &QTimer::timeout, this, [&] {
        if (!cancelSent && !printerB.requestBodies(QStringLiteral("print")).isEmpty()) {
            cancelSent = true;
            pc()->onCancelJob(QStringLiteral("ja"));
        } else if (cancelSent && !looked && removed.count() == 1) {
            looked = true;
            jobInPipeline = pc()->JobName;
            filesThere = QFile::exists(m_desk->spoolPath(QStringLiteral("jb.pcl"))) &&
                         QFile::exists(m_desk->spoolPath(QStringLiteral("jb.pcl.xml")));
        }
    });
    probe.start();
    QVERIFY(m_desk->dropJob(QStringLiteral("jb.pcl"), jobFor(hostB, kPart + 10)));
    QTRY_VERIFY_WITH_TIMEOUT(looked, 20000);
    probe.stop();
    QCOMPARE(removed.first().first().toString(), QStringLiteral("ja"));
    // B was still the job in the pipeline when the cancel was answered, its files in place.
    QCOMPARE(jobInPipeline, QStringLiteral("jb"));
    QVERIFY(filesThere);

    waitIdle();
    QCOMPARE(printerB.parts(QStringLiteral("jb")),
             QStringList({"1 jb_1.pcl 409600 none", "2 jb_2.pcl 10 1001", "end jb_end.pcl 3 1001"}));
    QCOMPARE(m_desk->jobRow(QStringLiteral("jb")).section('|', 0, 0), QStringLiteral("jb"));
}

// "q|r" and "q_r" are two jobs with a row each: every row follows its own
// job's states, and a cancel chosen on a row reaches that row's job.
void TestJobFaults::idsDifferingInBarAndUnderscore()
{
    JobPrinter under({"--states", "Queueing"});
    JobPrinter bar({"--states", "Printing"});
    QVERIFY(under.start());
    QVERIFY(bar.start());
    QVERIFY(m_desk->dropJob(QStringLiteral("q_r.pcl"), jobFor(under.host(), 0, QStringLiteral("under.pdf"))));
    waitIdle();
    QVERIFY(m_desk->dropJob(QStringLiteral("q|r.pcl"), jobFor(bar.host(), 0, QStringLiteral("bar.pdf"))));
    waitIdle();

    const auto state = [&](const QString &title) { return rowShowing(title).section('|', 2, 2); };
    const QString queued = QStringLiteral("等待中");
    const QString printing = QStringLiteral("打印中");
    QTRY_VERIFY_WITH_TIMEOUT(state("under.pdf") == queued && state("bar.pdf") == printing, 15000);
    QTest::qWait(2500); // one more round of polls for both jobs
    QCOMPARE(state("under.pdf"), queued);
    QCOMPARE(state("bar.pdf"), printing);

    pc()->mPrinterTask.show();
    QSignalSpy removed(pc(), &PrintConfig::sigRemoveJob);
    const int row = pc()->mPrinterTask.m_workFileList.indexOf(rowShowing("bar.pdf"));
    QVERIFY(cancelFromMenu(row));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 15000);
    QCOMPARE(removed.first().first().toString(), QStringLiteral("q|r"));
    QCOMPARE(bar.requestBodies(QStringLiteral("cancelJob")), QList<QByteArray>({"jobID=q|r"}));
    QVERIFY(under.requestBodies(QStringLiteral("cancelJob")).isEmpty());
    // The other job's row is neither marked nor changed.
    QCOMPARE(rowShowing("under.pdf").split('|').size(), 4);
    QCOMPARE(state("under.pdf"), queued);
    pc()->mPrinterTask.hide();
}

// A large file that never completes and a large file with a name already
// printed stay in the folder, while a small complete job behind them prints.
void TestJobFaults::refusedFilesDoNotStarveOthers()
{
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    const QString host = printer.host();
    QVERIFY(m_desk->dropJob(QStringLiteral("again.pcl"), jobFor(host)));
    waitIdle();

    PjlJob big = jobFor(host, 3 * kPart);
    const QByteArray open = pjlHeader(big) + QByteArray(3 * kPart, 'x');
    QVERIFY(m_desk->dropFile(QStringLiteral("endless.pcl"), open));
    QVERIFY(m_desk->dropJob(QStringLiteral("again.pcl"), big));
    QTest::qWait(1500);
    QVERIFY(m_desk->dropJob(QStringLiteral("small.pcl"), jobFor(host)));

    QTRY_COMPARE_WITH_TIMEOUT(printer.parts(QStringLiteral("small")).size(), 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->spoolFiles(),
                              QStringList({"again.pcl", "again.pcl.xml", "endless.pcl", "endless.pcl.xml"}),
                              20000);

    // The endless file is retried later: once it completes it prints too.
    {
        QFile f(m_desk->spoolPath(QStringLiteral("endless.pcl")));
        QVERIFY(f.open(QIODevice::Append));
        f.write(pjlClose());
    }
    QTRY_COMPARE_WITH_TIMEOUT(printer.parts(QStringLiteral("endless")).size(), 5, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_desk->spoolFiles(), QStringList({"again.pcl", "again.pcl.xml"}), 20000);
    QFile::remove(m_desk->spoolPath(QStringLiteral("again.pcl")));
    QFile::remove(m_desk->spoolPath(QStringLiteral("again.pcl.xml")));
}

QTEST_MAIN(TestJobFaults)
#include "tst_jobfaults.moc"
