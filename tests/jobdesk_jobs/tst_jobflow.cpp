// One user's job from the spool folder to the printer and back to the job
// list and the job log, against the converter and printer stand-ins.
#include "jobdesk.h"
#include "listenfile.h"
#include "listenstatus.h"
#include "printconfig.h"
#include "jobprinter.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

using namespace testjob;

class TestJobFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void wholeJob();

private:
    std::unique_ptr<JobDesk> m_desk;
};

void TestJobFlow::initTestCase()
{
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
}

void TestJobFlow::cleanupTestCase()
{
    m_desk.reset();
}

static QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestJobFlow::wholeJob()
{
    JobPrinter printer({QStringLiteral("--states"), QStringLiteral("Queueing,Processing,Printing,Completed"),
                              QStringLiteral("--state-interval-ms"), QStringLiteral("3000")});
    QVERIFY(printer.start());
    const QString host = printer.host();
    PrintConfig *pc = m_desk->controller();

    // Every state word the tracker reports, with the row text it produced.
    QStringList words;
    QStringList rowStates;
    connect(pc->m_listenStatus, &ListenStatus::sigSendPrinterStatus, this,
            [&](QString status, QString jobId) {
                if (jobId != QLatin1String("job7"))
                    return;
                words << status;
                rowStates << m_desk->jobRow(jobId).section(QLatin1Char('|'), 2, 2);
            }, Qt::QueuedConnection);

    PjlJob job;
    job.title = QStringLiteral("季度报告 <R&D>.pdf").toUtf8();
    job.user = QStringLiteral("张伟").toUtf8();
    job.queue = host.toLatin1();
    job.copies = 3;
    job.pages = 2;
    job.totalSize = 2 * 409600 + 1234;
    const QString staged = m_desk->root() + QStringLiteral("/job7.pcl");
    QVERIFY(writePjlJob(staged, job));
    const QByteArray data = readFile(staged);
    QCOMPARE(data.size(), 2 * 409600 + 1234);
    QVERIFY(QFile::rename(staged, m_desk->spoolPath(QStringLiteral("job7.pcl"))));
    QFile xml(m_desk->spoolPath(QStringLiteral("job7.pcl.xml")));
    QVERIFY(xml.open(QIODevice::WriteOnly));
    xml.close();

    // Uploaded, put under watch, spool files gone, busy flag back at 0.
    QTRY_VERIFY_WITH_TIMEOUT(!m_desk->jobRow(QStringLiteral("job7")).isEmpty(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->spoolFiles().isEmpty(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(g_spoolBusy.loadAcquire(), 0, 20000);

    QCOMPARE(printer.parts(QStringLiteral("job7")),
             QStringList({"1 job7_1.pcl 409600 1001", "2 job7_2.pcl 409600 1001", "3 job7_3.pcl 1234 1001",
                          "end job7_end.pcl 3 1001"}));
    QVERIFY(printer.jobFile(QStringLiteral("job7"), QStringLiteral("data.prn")) == data);

    // The ticket as the printer decrypted it: 26 children in order.
    const QByteArray ticket = printer.jobFile(QStringLiteral("job7"), QStringLiteral("ticket-1.xml"));
    QCOMPARE(printer.jobFile(QStringLiteral("job7"), QStringLiteral("ticket-end.xml")), ticket);
    QVERIFY2(ticket.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Attribute>\n <UserID>"
                               + QStringLiteral("张伟").toUtf8() + "</UserID>\n <JobID>job7</JobID>\n"),
             ticket.left(200).constData());
    QVERIFY(ticket.contains(" <FileName>" + QStringLiteral("季度报告 &lt;R&amp;D>.pdf").toUtf8() + "</FileName>\n"));
    QVERIFY(ticket.endsWith(" <CheckBit></CheckBit>\n<MediaSize>A4</MediaSize><HostInterface>"
                            + pc->HostInterface.toUtf8() + "</HostInterface><Sec>comman</Sec></Attribute>\n\n"));
    QDomDocument doc;
    QVERIFY(doc.setContent(ticket));
    QStringList names;
    QMap<QString, QString> value;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        names << e.tagName();
        value[e.tagName()] = e.text();
    }
    QCOMPARE(names, QStringList({"UserID", "JobID", "IPAddr", "WorkGroup", "ComputerName", "Domain",
                                 "DomainAccount", "PrintServer", "PrintServerAccount", "JPrinterName",
                                 "DriverName", "PortName", "FileName", "PaperSize", "Pages", "Copies", "Duplex",
                                 "Color", "Collate", "ProcessedFileName", "ProcessedFileSize",
                                 "ProcessedFileTime", "CheckBit", "MediaSize", "HostInterface", "Sec"}));
    QCOMPARE(value["FileName"], QStringLiteral("季度报告 <R&D>.pdf"));
    QCOMPARE(value["DomainAccount"], QStringLiteral("张伟"));
    QCOMPARE(value["ComputerName"], QStringLiteral("desk01"));
    QCOMPARE(value["JPrinterName"], host);
    QCOMPARE(value["PortName"], QStringLiteral("socket://127.0.0.2:9100"));
    QCOMPARE(value["DriverName"], QStringLiteral("Porvik-Jyx(30)"));
    QCOMPARE(value["PaperSize"], QStringLiteral("2"));
    QCOMPARE(value["Pages"], QStringLiteral("2"));
    QCOMPARE(value["Copies"], QStringLiteral("3"));
    QCOMPARE(value["Duplex"], QStringLiteral("0"));
    QCOMPARE(value["ProcessedFileName"], QStringLiteral("job7.pcl"));
    QCOMPARE(value["ProcessedFileSize"], QString::number(data.size()));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                .match(value["ProcessedFileTime"]).hasMatch());

    // The job-log row as inserted.
    const QStringList columns = {"GUID", "JobType", "JobName", "UserName", "CNName", "DepName", "Barcode",
                                 "BarcodeText", "DirectionName", "SecLevelName", "UseName", "CreateTime",
                                 "JobDoneTime", "Comment", "PageCount", "Copies", "ActualTotalPages", "Color",
                                 "MediaType", "Duplex", "DeviceName", "DeviceIP", "DeviceID", "ClientIP",
                                 "ClientName", "Result", "JobInfo"};
    auto rows = m_desk->jobLogRows(host);
    QCOMPARE(rows.size(), 1);
    QMap<QString, QString> row = rows.first();
    QCOMPARE(row.keys().size(), 27);
    for (const QString &c : columns)
        QVERIFY2(row.contains(c), qPrintable(c));
    const QMap<QString, QString> expected = {
        {"JobType", "1"}, {"JobName", QStringLiteral("季度报告 <R&D>.pdf")}, {"UserName", QStringLiteral("张伟")},
        {"CNName", QStringLiteral("张伟")}, {"DepName", ""}, {"Barcode", ""}, {"BarcodeText", ""},
        {"DirectionName", ""}, {"SecLevelName", ""}, {"UseName", ""}, {"JobDoneTime", ""}, {"Comment", ""},
        {"PageCount", "2"}, {"Copies", "3"}, {"ActualTotalPages", "6"}, {"Color", "0"}, {"MediaType", "2"},
        {"Duplex", "0"}, {"DeviceName", host}, {"DeviceIP", host}, {"DeviceID", host},
        {"ClientIP", value["IPAddr"]}, {"ClientName", QStringLiteral("张伟")}, {"Result", "-1"},
        {"JobInfo", QStringLiteral("待打印")}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(row.value(it.key()) == it.value(), qPrintable(it.key() + QLatin1String(" = ") + row.value(it.key())));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                .match(row["GUID"]).hasMatch());
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{8} \\d\\d:\\d\\d:\\d\\d$")).match(row["CreateTime"]).hasMatch());
    const QString createTime = row["CreateTime"];

    // The job-list row: id, display name, state, listing date and time.
    const QStringList fields = m_desk->jobRow(QStringLiteral("job7")).split(QLatin1Char('|'));
    QCOMPARE(fields.size(), 4);
    QCOMPARE(fields[1], QStringLiteral("季度报告 <R&D>.pdf"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")).match(fields[3]).hasMatch());
    QCOMPARE(pc->m_jobWatchList.size(), 1);

    // Tracked to its end: every state shown, the row marked, the log updated.
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->jobRow(QStringLiteral("job7")).split(QLatin1Char('|')).size() == 5, 30000);
    QElapsedTimer sinceMark;
    sinceMark.start();
    words.removeDuplicates();
    QCOMPARE(words, QStringList({"Queueing", "Processing", "Printing", "Completed"}));
    rowStates.removeDuplicates();
    QCOMPARE(rowStates, QStringList({QStringLiteral("等待中"), QStringLiteral("处理中"), QStringLiteral("打印中"),
                                     QStringLiteral("打印完成")}));
    QCOMPARE(m_desk->jobRow(QStringLiteral("job7")).section(QLatin1Char('|'), 2, 2), QStringLiteral("打印完成"));
    QVERIFY(pc->m_jobWatchList.isEmpty());

    rows = m_desk->jobLogRows(host);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first()["Result"], QStringLiteral("1"));
    QCOMPARE(rows.first()["JobInfo"], QStringLiteral("打印完成"));
    QCOMPARE(rows.first()["CreateTime"], createTime);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{8} \\d\\d:\\d\\d:\\d\\d$")).match(rows.first()["JobDoneTime"]).hasMatch());

    QTRY_COMPARE_WITH_TIMEOUT(printer.requestBodies(QStringLiteral("removeJobStatus")),
                              QList<QByteArray>({"jobID=job7"}), 20000);

    // The marked row leaves the list 6 to 7 s after its mark.
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->jobRow(QStringLiteral("job7")).isEmpty(), 12000);
    QVERIFY2(sinceMark.elapsed() >= 4900 && sinceMark.elapsed() <= 9000, qPrintable(QString::number(sinceMark.elapsed())));

    // Tracking has ended: no more status polls for the job.
    const int polls = printer.requestBodies(QStringLiteral("getJobStatus")).size();
    QTest::qWait(2500);
    QCOMPARE(printer.requestBodies(QStringLiteral("getJobStatus")).size(), polls);
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
}

QTEST_MAIN(TestJobFlow)
#include "tst_jobflow.moc"
