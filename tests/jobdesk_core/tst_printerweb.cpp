// The printer stand-in itself: what it keeps and how its scripted answers run.
#include "httpservices.h"
#include "simprinter.h"
#include "textcipher.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Reply
{
    int status = -1;
    QString body;
};

Reply waitReply(HttpServices *http)
{
    QSignalSpy spy(http, &HttpServices::http_finished);
    Reply r;
    if (spy.wait(20000)) {
        r.status = spy.first().at(0).toInt();
        r.body = spy.first().at(2).toString();
    }
    return r;
}

Reply upload(const SimPrinterProcess &printer, const QString &ticket, const QString &name, const QByteArray &data)
{
    auto *http = new HttpServices();
    const QString info = QString::fromLatin1(http->encrypt(ticket, QString::fromLatin1(kCipherKeyText)).toBase64());
    http->uploadJob(printer.url(QStringLiteral("print.php")), info, name, data, 1);
    return waitReply(http);
}

Reply post(const SimPrinterProcess &printer, const QString &page, const QByteArray &body)
{
    auto *http = new HttpServices();
    http->post(printer.url(page), body, 1, false);
    return waitReply(http);
}

const QString kTicket = QStringLiteral("<Attribute><JobID>r&amp;d</JobID><FileName>报告</FileName></Attribute>");

} // namespace

class TestPrinterWeb : public QObject
{
    Q_OBJECT
private slots:
    void keepsTicketsAndDataInOrder();
    void statesRunAfterTheFinalPart();
    void cancelAndPrinterStatus();
    void addressIsExclusive();
};

void TestPrinterWeb::keepsTicketsAndDataInOrder()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(), {QStringLiteral("--print-replies"),
                                                        QStringLiteral("1001,1001,2001,1001")});
    QVERIFY(printer.start());
    QCOMPARE(upload(printer, kTicket, QStringLiteral("r_1.pcl"), "first ").body, QStringLiteral("1001"));
    QCOMPARE(upload(printer, kTicket, QStringLiteral("r_2.pcl"), "second").body, QStringLiteral("1001"));
    QCOMPARE(upload(printer, kTicket, QStringLiteral("r_3.pcl"), "refused").body, QStringLiteral("2001"));
    QCOMPARE(upload(printer, kTicket, QStringLiteral("r_end.pcl"), "end").body, QStringLiteral("1001"));

    // Folder named by the unescaped JobID; refused data is not kept.
    QCOMPARE(printer.storeFile(QStringLiteral("r&d/data.prn")), QByteArray("first second"));
    QCOMPARE(QString::fromUtf8(printer.storeFile(QStringLiteral("r&d/ticket-1.xml"))), kTicket);
    QCOMPARE(QString::fromUtf8(printer.storeFile(QStringLiteral("r&d/ticket-end.xml"))), kTicket);
    QCOMPARE(printer.storeFile(QStringLiteral("r&d/parts.txt")),
             QByteArray("1 r_1.pcl 6 1001\n2 r_2.pcl 6 1001\n3 r_3.pcl 7 2001\nend r_end.pcl 3 1001\n"));
}

void TestPrinterWeb::statesRunAfterTheFinalPart()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(),
                              {QStringLiteral("--states"), QStringLiteral("Queueing,Printing,Completed"),
                               QStringLiteral("--state-interval-ms"), QStringLiteral("1500"),
                               QStringLiteral("--unknown-job-reply"), QStringLiteral("nothing")});
    QVERIFY(printer.start());
    QCOMPARE(post(printer, QStringLiteral("getJobStatus.php"), "jobID=r&d").body, QStringLiteral("nothing"));
    upload(printer, kTicket, QStringLiteral("r_1.pcl"), "data");
    QCOMPARE(post(printer, QStringLiteral("getJobStatus.php"), "jobID=r&d").body, QStringLiteral("nothing"));
    upload(printer, kTicket, QStringLiteral("r_end.pcl"), "end");
    QStringList seen;
    QElapsedTimer clock;
    clock.start();
    // Each state lasts 1.5 s, far longer than one poll even on a loaded machine.
    while (clock.elapsed() < 20000 && !seen.contains(QStringLiteral("Completed"))) {
        const QString state = post(printer, QStringLiteral("getJobStatus.php"), "jobID=r&d").body;
        if (seen.isEmpty() || seen.last() != state)
            seen << state;
        QTest::qWait(50);
    }
    QCOMPARE(seen, (QStringList{"Queueing", "Printing", "Completed"}));
}

void TestPrinterWeb::cancelAndPrinterStatus()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(),
                              {QStringLiteral("--printer-status"), QStringLiteral("2,1001,2002"),
                               QStringLiteral("--state-interval-ms"), QStringLiteral("100000")});
    QVERIFY(printer.start());
    upload(printer, kTicket, QStringLiteral("r_end.pcl"), "end");
    QCOMPARE(post(printer, QStringLiteral("getJobStatus.php"), "jobID=r&d").body, QStringLiteral("Queueing"));
    QCOMPARE(post(printer, QStringLiteral("cancelJob.php"), "jobID=r&d").status, 200);
    QCOMPARE(post(printer, QStringLiteral("getJobStatus.php"), "jobID=r&d").body, QStringLiteral("Cancelled"));
    QCOMPARE(post(printer, QStringLiteral("removeJobStatus.php"), "jobID=r&d").body, QStringLiteral("1001"));

    auto *http = new HttpServices();
    http->get(printer.url(QStringLiteral("printerstatus.php")), 1);
    QCOMPARE(waitReply(http).body, QStringLiteral("PrintErrorNumber:TIBORO,2,1001,2002"));
}

void TestPrinterWeb::addressIsExclusive()
{
    // Tests pick free addresses by trying to listen: a second printer on a taken
    // address must fail, not share the port and take some of the first one's requests.
    QTemporaryDir store;
    SimPrinterProcess first(QString(), store.path() + QStringLiteral("/a"));
    QVERIFY(first.start());
    SimPrinterProcess second(first.host(), store.path() + QStringLiteral("/b"));
    QVERIFY(!second.start());
    for (int i = 0; i < 4; ++i)
        QCOMPARE(post(first, QStringLiteral("removeJobStatus.php"), "jobID=x").body, QStringLiteral("1001"));
    QCOMPARE(first.requestBodies(QStringLiteral("removeJobStatus")).size(), 4);
}

QTEST_GUILESS_MAIN(TestPrinterWeb)
#include "tst_printerweb.moc"
