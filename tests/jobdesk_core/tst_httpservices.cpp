// HttpServices against the simulated printer on loopback.
#include "httpservices.h"
#include "simprinter.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Answer
{
    int status = -1;
    int userType = -1;
    QString reply;
    QString jobId;
    QString ip;
};

// Waits for the one answer of a request and checks that the object then deletes itself.
bool takeAnswer(HttpServices *http, Answer &answer, int timeoutMs = 20000)
{
    QPointer<HttpServices> alive(http);
    QSignalSpy spy(http, &HttpServices::http_finished);
    if (!spy.wait(timeoutMs))
        return false;
    const QList<QVariant> args = spy.takeFirst();
    answer.status = args.at(0).toInt();
    answer.userType = args.at(1).toInt();
    answer.reply = args.at(2).toString();
    answer.jobId = args.at(3).toString();
    answer.ip = args.at(4).toString();
    // The object deletes itself once the answer is out.
    for (int i = 0; i < 250 && !alive.isNull(); ++i)
        QTest::qWait(20);
    return alive.isNull() && spy.isEmpty();
}

QByteArray expectedUploadBody(const QByteArray &boundary, const QByteArray &jobInfo,
                              const QByteArray &fileName, const QByteArray &data)
{
    const QByteArray crlf("\r\n");
    return "--" + boundary + crlf
        + "Content-Disposition: form-data; name=\"jobInfo\"" + crlf + crlf + jobInfo
        + crlf + "--" + boundary + crlf
        + "Content-Disposition: form-data; name=\"encryption\"" + crlf + crlf + "none"
        + crlf + "--" + boundary + crlf
        + "Content-Disposition: form-data; name=\"jobFile\"; filename=\"" + fileName + "\"" + crlf
        + "Content-Type: application/octet-stream" + crlf + crlf + data
        + crlf + "--" + boundary + crlf;
}

QByteArray headerValue(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ": "))
            return line.mid(name.size() + 2);
    return QByteArray();
}

} // namespace

class TestHttpServices : public QObject
{
    Q_OBJECT
private slots:
    void uploadBodyIsByteExact_data();
    void uploadBodyIsByteExact();
    void boundaryChangesPerRequest();
    void answers_data();
    void answers();
    void refusedConnectionGivesStatusZero();
    void silentHostTimesOut();
    void formPostSendsBodyUnchanged();
    void hostFromUrl_data();
    void hostFromUrl();
};

void TestHttpServices::uploadBodyIsByteExact_data()
{
    QTest::addColumn<QString>("jobInfo");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("data");

    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    binary += "\r\n--not-a-boundary\r\n";
    QTest::newRow("binary data") << QStringLiteral("dGlja2V0") << QStringLiteral("job7_1.pcl") << binary;
    QTest::newRow("empty jobInfo, final part") << QString() << QStringLiteral("job7_end.pcl") << QByteArray("end");
    QTest::newRow("quote and Chinese in file name")
        << QStringLiteral("abc=") << QStringLiteral("报告\"v2_1.pcl") << QByteArray("x");
}

void TestHttpServices::uploadBodyIsByteExact()
{
    QFETCH(QString, jobInfo);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, data);

    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path());
    QVERIFY(printer.start());

    auto *http = new HttpServices();
    http->m_jobId = QStringLiteral("job7");
    http->uploadJob(printer.url(QStringLiteral("print.php")), jobInfo, fileName, data, 1);
    Answer answer;
    QVERIFY(takeAnswer(http, answer));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.userType, 1);
    QCOMPARE(answer.reply, QStringLiteral("1001"));
    QCOMPARE(answer.jobId, QStringLiteral("job7"));
    QCOMPARE(answer.ip, printer.host());

    const QList<QByteArray> bodies = printer.requestBodies(QStringLiteral("print"));
    const QList<QByteArray> heads = printer.requestHeads(QStringLiteral("print"));
    QCOMPARE(bodies.size(), 1);
    const QByteArray contentType = headerValue(heads.first(), "Content-Type");
    const QByteArray prefix("multipart/form-data; boundary=");
    QVERIFY2(contentType.startsWith(prefix), contentType.constData());
    const QByteArray boundary = contentType.mid(prefix.size());
    QVERIFY2(QRegularExpression(QStringLiteral("^-{27}[0-9]{3,30}$")).match(QString::fromLatin1(boundary)).hasMatch(),
             boundary.constData());
    QCOMPARE(bodies.first(), expectedUploadBody(boundary, jobInfo.toUtf8(), fileName.toUtf8(), data));
    QCOMPARE(headerValue(heads.first(), "Content-Length").toInt(), bodies.first().size());
}

void TestHttpServices::boundaryChangesPerRequest()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path());
    QVERIFY(printer.start());
    for (int i = 0; i < 2; ++i) {
        auto *http = new HttpServices();
        http->uploadJob(printer.url(QStringLiteral("print.php")), QString(), QStringLiteral("a.pcl"), "d", 1);
        Answer answer;
        QVERIFY(takeAnswer(http, answer));
    }
    const QList<QByteArray> heads = printer.requestHeads(QStringLiteral("print"));
    QCOMPARE(heads.size(), 2);
    QVERIFY(headerValue(heads[0], "Content-Type") != headerValue(heads[1], "Content-Type"));
}

void TestHttpServices::answers_data()
{
    QTest::addColumn<QString>("printReply");
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reply");

    QTest::newRow("accepted") << "1001" << "print.php" << 200 << "1001";
    QTest::newRow("server error keeps its body") << "http:500" << "print.php" << 500 << "error 500";
    QTest::newRow("NUL byte ends the text") << "nul" << "print.php" << 200 << "10";
    QTest::newRow("empty body") << "empty" << "print.php" << 200 << "";
    QTest::newRow("unknown page") << "1001" << "nosuch.php" << 404 << "";
}

void TestHttpServices::answers()
{
    QFETCH(QString, printReply);
    QFETCH(QString, page);
    QFETCH(int, status);
    QFETCH(QString, reply);

    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(),
                              {QStringLiteral("--print-replies"), printReply});
    QVERIFY(printer.start());
    auto *http = new HttpServices();
    http->m_jobId = QStringLiteral("j1");
    http->uploadJob(printer.url(page), QString(), QStringLiteral("j1_1.pcl"), "data", 1);
    Answer answer;
    QVERIFY(takeAnswer(http, answer));
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.userType, 1);
    if (status != 404)
        QCOMPARE(answer.reply, reply);
    QCOMPARE(answer.jobId, QStringLiteral("j1"));
    QCOMPARE(answer.ip, printer.host());
}

void TestHttpServices::refusedConnectionGivesStatusZero()
{
    // Nothing listens on this address.
    auto *http = new HttpServices();
    http->m_jobId = QStringLiteral("off");
    http->get(QStringLiteral("http://127.0.0.254:1/jyx/printerstatus.php"), 1);
    Answer answer;
    QVERIFY(takeAnswer(http, answer));
    QCOMPARE(answer.status, 0);
    QCOMPARE(answer.userType, 1);
    QCOMPARE(answer.reply, QString());
    QCOMPARE(answer.jobId, QStringLiteral("off"));
    QCOMPARE(answer.ip, QStringLiteral("127.0.0.254"));
}

void TestHttpServices::silentHostTimesOut()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(),
                              {QStringLiteral("--print-replies"), QStringLiteral("none")});
    QVERIFY(printer.start());
    QCOMPARE(HttpServices::transferTimeout(), int(HttpServices::kDefaultTransferTimeoutMs));
    HttpServices::setTransferTimeoutForTest(400);
    auto *http = new HttpServices();
    QElapsedTimer clock;
    clock.start();
    http->uploadJob(printer.url(QStringLiteral("print.php")), QString(), QStringLiteral("h_1.pcl"), "x", 1);
    Answer answer;
    const bool answered = takeAnswer(http, answer, 10000);
    HttpServices::setTransferTimeoutForTest(HttpServices::kDefaultTransferTimeoutMs);
    QVERIFY(answered);
    QCOMPARE(answer.status, 0);
    QCOMPARE(answer.ip, printer.host());
    QVERIFY(clock.elapsed() >= 350);
    QVERIFY(printer.waitForEvent(QStringLiteral("reply=none")));
}

void TestHttpServices::formPostSendsBodyUnchanged()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path());
    QVERIFY(printer.start());
    auto *http = new HttpServices();
    http->m_jobId = QStringLiteral("job9");
    http->post(printer.url(QStringLiteral("getJobStatus.php")), QByteArray("jobID=job9"), 1, false);
    Answer answer;
    QVERIFY(takeAnswer(http, answer));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.jobId, QStringLiteral("job9"));
    QCOMPARE(printer.requestBodies(QStringLiteral("getJobStatus")), QList<QByteArray>{"jobID=job9"});

    auto *status = new HttpServices();
    status->get(printer.url(QStringLiteral("printerstatus.php")), 1);
    QVERIFY(takeAnswer(status, answer));
    QCOMPARE(answer.reply, QStringLiteral("PrintErrorNumber:TIBORO,0"));
    QCOMPARE(answer.jobId, QString());
}

void TestHttpServices::hostFromUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::newRow("print page") << "http://192.168.1.20:9100/jyx/print.php" << "192.168.1.20";
    QTest::newRow("https") << "https://10.1.2.3:9100/jyx/getJobStatus.php" << "10.1.2.3";
    QTest::newRow("no port") << "http://printer/jyx/" << "printer";
    QTest::newRow("no scheme") << "10.0.0.7:80/x" << "10.0.0.7";
    QTest::newRow("host only") << "http://10.0.0.8" << "10.0.0.8";
}

void TestHttpServices::hostFromUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, host);
    QCOMPARE(HttpServices::hostFromUrl(url), host);
}

QTEST_GUILESS_MAIN(TestHttpServices)
#include "tst_httpservices.moc"
