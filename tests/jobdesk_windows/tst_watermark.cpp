// The watermark request with the real barcode tool: the XML text, one tool run
// per page and copy, the images it leaves, and no shell in between.
#include "listenfile.h"
#include "messagelog.h"
#include "printconfig.h"
#include "simprinter.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

MessageLog *g_log = nullptr; // the job desk's debug lines, for the tests that check them

const QString kHead = QStringLiteral(
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><request type=\"WaterMark\"><layout>"
    "<bar-code anchor=\"%1\"><margin horizontal=\"24pt\" vertical=\"24pt\"/><scale width=\"144pt\" height=\"24pt\"/>"
    "</bar-code><text anchor=\"right\"><margin horizontal=\"24pt\" vertical=\"24pt\"/>"
    "<font face=\"Helvetica\" size=\"11\"/></text></layout>");
const QString kTail = QStringLiteral(
    "<config><InputFile>%1</InputFile><OutPutDir>/home/porvik/PorvikOut/</OutPutDir>"
    "<LOGDir>/home/porvik/PorvikOut/</LOGDir></config></request>");

} // namespace

class TestWatermark : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QTemporaryDir m_work;
    QString m_previousDir;
    PrintConfig *m_controller = nullptr;

    QString runLog() const { return m_work.path() + QStringLiteral("/runs.log"); }
    QStringList toolRuns() const
    {
        QFile f(runLog());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    void setJob(int copies, int pages)
    {
        PrintConfig &c = *m_controller;
        c.Copies = copies;
        c.Pages = pages;
        c.DomainAccount = QStringLiteral("zhang");
        c.JPrinterName = QStringLiteral("192.168.1.20");
        c.IPAddr = QStringLiteral("10.0.0.2");
        c.SecLevel = QStringLiteral("L2");
        c.ComputerName = QStringLiteral("ws-01");
        c.SpoolStem = QStringLiteral("/var/porvik/SPOOL/report");
        c.SpoolFile = QStringLiteral("/var/porvik/SPOOL/report.pcl");
        c.BarcodePosition = QStringLiteral("rightbottom");
        c.BarcodeTemplate = QStringLiteral("{0:000}-{1}");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_root.path()));
        qputenv("BARCODE_SIM_LOG", QFile::encodeName(runLog()));
        QVERIFY(QFile::copy(QStringLiteral(BIN_DIR "/BarcodeUtil.jar"), m_work.path() + "/BarcodeUtil.jar"));
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));
        QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
        m_controller = new PrintConfig();
        g_log = new MessageLog;
    }
    void cleanupTestCase()
    {
        delete g_log;
        g_log = nullptr;
        delete m_controller;
        QDir::setCurrent(m_previousDir);
    }
    void init()
    {
        QFile::remove(runLog());
        QDir(QStringLiteral("png")).removeRecursively();
        g_log->clear();
    }

    void twoCopiesOfThreePages()
    {
        setJob(2, 3);
        m_controller->BarcodeTemplate =
            QStringLiteral("{0:000}-{1} %USERNAME%/%DEP%/%PRINTERNAME%/%PRINTERIP%/%SEC%/%IPADDR%/%COMPUTERNAME%/%COMPANY%");
        const QString request = m_controller->buildWaterMarkRequest();

        QStringList texts, runs, copies;
        for (int c = 1; c <= 2; ++c) {
            QString pages;
            for (int p = 1; p <= 3; ++p) {
                const QString text = QStringLiteral("%1-%2 zhang//192.168.1.20/10.0.0.2/L2/10.0.0.2/ws-01/"
                                                    "/var/porvik/SPOOL/report").arg(c).arg(p);
                const QString image = QStringLiteral("./png/%1-%2.png").arg(c).arg(p);
                texts << text;
                runs << image + QLatin1Char('\t') + text;
                pages += "<page><bar-code>" + image + "</bar-code><text>" + text + "</text></page>";
            }
            copies << "<copy>" + pages + "</copy>";
        }
        QCOMPARE(request, kHead.arg("bottom-right") + copies.join(QString())
                              + kTail.arg("/var/porvik/SPOOL/report.pcl"));
        QCOMPARE(toolRuns(), runs); // six runs, one after the other, in page order

        for (int i = 0; i < 6; ++i) {
            const QString image = QStringLiteral("png/%1-%2.png").arg(i / 3 + 1).arg(i % 3 + 1);
            QImage png(image, "PNG");
            QVERIFY2(!png.isNull(), qPrintable(image));
            // The image is a barcode of the page text.
            QProcess zbar;
            zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), image});
            QVERIFY(zbar.waitForFinished(10000));
            QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), texts[i]);
        }
        QVERIFY(g_log->debug().contains(QStringLiteral("java  -jar   BarcodeUtil.jar ./png/2-3.png  ") + texts[5]));
    }

    void noCopiesOrNoPages_data()
    {
        QTest::addColumn<int>("copies");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QString>("copyList");
        QTest::newRow("0 copies") << 0 << 3 << QString();
        QTest::newRow("negative copies") << -1 << 3 << QString();
        QTest::newRow("0 pages") << 2 << 0 << QStringLiteral("<copy></copy><copy></copy>");
    }
    void noCopiesOrNoPages()
    {
        QFETCH(int, copies);
        QFETCH(int, pages);
        QFETCH(QString, copyList);
        setJob(copies, pages);
        QCOMPARE(m_controller->buildWaterMarkRequest(),
                 kHead.arg("bottom-right") + copyList + kTail.arg("/var/porvik/SPOOL/report.pcl"));
        QVERIFY(toolRuns().isEmpty());
        QVERIFY(!QDir(QStringLiteral("png")).exists());
    }

    void positionMapping_data()
    {
        QTest::addColumn<QString>("position");
        QTest::addColumn<QString>("anchor");
        QTest::newRow("rightbottom") << "rightbottom" << "bottom-right";
        QTest::newRow("righttop") << "righttop" << "top-right";
        QTest::newRow("leftbottom") << "leftbottom" << "bottom-left";
        QTest::newRow("lefttop") << "lefttop" << "top-left";
        QTest::newRow("long form kept") << "bottom-right" << "bottom-right";
        QTest::newRow("other text kept") << "center" << "center";
        QTest::newRow("case-sensitive") << "RightBottom" << "RightBottom";
        QTest::newRow("empty") << "" << "";
    }
    void positionMapping()
    {
        QFETCH(QString, position);
        QFETCH(QString, anchor);
        setJob(0, 0);
        m_controller->BarcodePosition = position;
        const QString first = m_controller->buildWaterMarkRequest();
        QVERIFY(first.contains("<bar-code anchor=\"" + anchor + "\">"));
        QCOMPARE(m_controller->BarcodePosition, anchor);
        QCOMPARE(m_controller->buildWaterMarkRequest(), first); // a second call keeps it
    }

    void spoolPathHoldingCopyPlaceholder()
    {
        setJob(1, 1);
        m_controller->SpoolFile = QStringLiteral("/var/porvik/SPOOL/a%COPY%b.pcl");
        const QString copyList =
            QStringLiteral("<copy><page><bar-code>./png/1-1.png</bar-code><text>1-1</text></page></copy>");
        QCOMPARE(m_controller->buildWaterMarkRequest(),
                 kHead.arg("bottom-right") + copyList + kTail.arg("/var/porvik/SPOOL/a" + copyList + "b.pcl"));
    }

    void dateAndTime()
    {
        setJob(1, 1);
        m_controller->BarcodeTemplate = QStringLiteral("%DATE% %TIME%");
        const QDateTime before = QDateTime::currentDateTime();
        m_controller->buildWaterMarkRequest();
        const QDateTime after = QDateTime::currentDateTime();
        const QStringList runs = toolRuns();
        QCOMPARE(runs.size(), 1);
        const QDateTime stamped = QDateTime::fromString(runs[0].section('\t', 1), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY2(stamped.isValid(), qPrintable(runs[0]));
        QVERIFY(stamped >= before.addMSecs(-before.time().msec()) && stamped <= after);
    }

    void emptyTemplate()
    {
        setJob(1, 1);
        m_controller->BarcodeTemplate.clear();
        QVERIFY(m_controller->buildWaterMarkRequest().contains("<bar-code>./png/1-1.png</bar-code><text></text>"));
        QVERIFY(g_log->debug().contains(QStringLiteral("java  -jar   BarcodeUtil.jar ./png/1-1.png  ")));
        QCOMPARE(toolRuns(), QStringList{"./png/1-1.png\t"});
        QVERIFY(!QImage(QStringLiteral("png/1-1.png")).isNull());
    }

    void shellCharactersRunNothing()
    {
        setJob(1, 1);
        const QString user = QStringLiteral("x'; touch pwned1; \"$(touch pwned2)\" `touch pwned3` | touch pwned4 & > pwned5");
        m_controller->DomainAccount = user;
        m_controller->BarcodeTemplate = QStringLiteral("%USERNAME%");
        m_controller->buildWaterMarkRequest();
        // The tool got the whole text as one argument, and nothing else ran.
        QCOMPARE(toolRuns(), QStringList{"./png/1-1.png\t" + user});
        QCOMPARE(QDir(m_work.path()).entryList(QStringList{"pwned*"}), QStringList());
        QVERIFY(!QImage(QStringLiteral("png/1-1.png")).isNull());
    }

    void missingToolIsNoError()
    {
        setJob(1, 2);
        QVERIFY(QFile::rename("BarcodeUtil.jar", "BarcodeUtil.jar.away"));
        const QString request = m_controller->buildWaterMarkRequest();
        QVERIFY(QFile::rename("BarcodeUtil.jar.away", "BarcodeUtil.jar"));
        QVERIFY(request.contains("<bar-code>./png/1-2.png</bar-code>"));
        QVERIFY(!QFile::exists(QStringLiteral("png/1-1.png")));
    }
};

QTEST_MAIN(TestWatermark)
#include "tst_watermark.moc"
