// The tray icon in a real system tray (Xvfb + trayer, see run_tray.sh).
#include "listenfile.h"
#include "messagelog.h"
#include "printconfig.h"
#include "simprinter.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

// The icon's own blue, drawn into the resource image.
bool showsIconColour(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - 0x1f) < 24 && qAbs(c.green() - 0x5f) < 24 && qAbs(c.blue() - 0xa8) < 24)
                return true;
        }
    return false;
}

} // namespace

class TestTray : public QObject
{
    Q_OBJECT
private slots:
    void iconTooltipAndMenu();
};

void TestTray::iconTooltipAndMenu()
{
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 15000);

    QTemporaryDir root;
    qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(root.path()));
    QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
    MessageLog log;
    PrintConfig controller;
    QVERIFY(log.contains(QStringLiteral("this system support systemtray")));

    QSystemTrayIcon *tray = controller.m_trayIcon;
    QVERIFY(tray->isVisible());
    QCOMPARE(tray->toolTip(), QStringLiteral("安全增强型打印机TR450一代V1.0.0"));
    QTRY_VERIFY_WITH_TIMEOUT(!tray->geometry().isEmpty() && tray->geometry().x() > 0, 10000);
    QTest::qWait(1000);
    const QRect where = tray->geometry();
    QScreen *screen = QGuiApplication::primaryScreen();
    QTRY_VERIFY_WITH_TIMEOUT(showsIconColour(screen->grabWindow(0, where.x(), where.y(), where.width(),
                                                                where.height()).toImage()),
                             10000);

    QMenu *menu = tray->contextMenu();
    QVERIFY(menu);
    menu->popup(where.bottomLeft());
    QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), 5000);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->text(), QStringLiteral("作业列表"));
    QCOMPARE(actions[1]->text(), QStringLiteral("打印机状态监控"));
    QVERIFY(menu->actionGeometry(actions[0]).top() < menu->actionGeometry(actions[1]).top());

    QTest::qWait(300);
    const QString shot = QStringLiteral(TRAY_SHOT);
    QFile::remove(shot);
    QCOMPARE(QProcess::execute(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), shot}), 0);
    QVERIFY(QFileInfo(shot).size() > 0);
    std::fprintf(stderr, "screenshot: %s\n", qPrintable(shot));
    menu->hide();
    qunsetenv("SPOOLBAY_TEST_ROOT");
}

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
