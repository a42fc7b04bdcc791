// The tray's printer status entry end to end: the CUPS queues of the printer
// line, the status tracker polling the printer stand-in, the history in words.
#include "cupsfixture.h"
#include "listenfile.h"
#include "printconfig.h"
#include "simprinter.h"

#include <QAction>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace {

// Nothing listens here, so the tracker reports the printer as unreachable.
const QString kSilentPrinter = QStringLiteral("127.0.0.253");

QString u(const char *s) { return QString::fromUtf8(s); }

} // namespace

class TestStatusRoad : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QTemporaryDir m_store;
    CupsFixture m_cups;
    SimPrinterProcess *m_printer = nullptr;

    static QString historyText(PrintConfig &c)
    {
        return c.mStatus.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
    }
    static void click(PrintConfig &c, const QString &name)
    {
        QListView *view = c.mStatus.findChild<QListView *>(QStringLiteral("listView"));
        const QModelIndexList hits = view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, name);
        QVERIFY(!hits.isEmpty());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(hits.first()).center());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_store.isValid());
        qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_root.path()));
        m_printer = new SimPrinterProcess(QString(), m_store.path(),
                                          {QStringLiteral("--printer-status"), QStringLiteral("2,200001,200326")});
        QVERIFY(m_printer->start());
        QVERIFY2(m_cups.start(), qPrintable(m_cups.error()));
        QVERIFY(m_cups.addQueue(m_printer->host(), QStringLiteral("Porvik JYX-30 Laser")));
        QVERIFY(m_cups.addQueue(kSilentPrinter, QStringLiteral("Porvik JYX-30 Laser")));
        QVERIFY(m_cups.addQueue(QStringLiteral("127.0.0.252"), QStringLiteral("Another Laser")));
        QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
    }
    void cleanupTestCase() { delete m_printer; }

    void trayEntryShowsHistoriesInWords()
    {
        PrintConfig c;
        c.m_printerStatusAction->trigger();
        QVERIFY(c.mStatus.isVisible());
        QStringList names = c.mStatus.refreshPrinterList();
        names.sort();
        QStringList expected{m_printer->host(), kSilentPrinter};
        expected.sort();
        QCOMPARE(names, expected);

        const QString reachable = u("状态：缺纸，请装入纸张到纸盒(200001)\n状态：卡纸，请打开前盖并拉出硒鼓来清除卡纸(200326)");
        const QString unreachable = u("状态：连接打印机失败，请确认打印机是否连通。(12121212)");

        click(c, m_printer->host());
        QTRY_VERIFY_WITH_TIMEOUT(historyText(c).contains(reachable), 10000);
        click(c, kSilentPrinter);
        QTRY_VERIFY_WITH_TIMEOUT(historyText(c).contains(unreachable), 10000);
        QVERIFY(!historyText(c).contains(reachable));

        // Refresh now asks for the selected printer alone and shows the answer live.
        click(c, m_printer->host());
        const int entries = historyText(c).count(u("时间："));
        QLabel *label = c.mStatus.findChild<QLabel *>(QStringLiteral("label"));
        c.mStatus.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(label->text(), u("正在获取..."));
        QTRY_VERIFY_WITH_TIMEOUT(historyText(c).count(u("时间：")) > entries, 10000);
        QVERIFY(label->text().isEmpty());
        QVERIFY(historyText(c).contains(u("    打印机：") + m_printer->host()));
    }
};

QTEST_MAIN(TestStatusRoad)
#include "tst_status_road.moc"
