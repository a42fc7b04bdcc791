// The controller built headless: construction, wiring, tray and timer slots,
// settings messages, and an orderly shutdown of both worker threads.
#include "listenfile.h"
#include "listenstatus.h"
#include "messagelog.h"
#include "paths.h"
#include "printconfig.h"
#include "simprinter.h"
#include "textcipher.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

namespace {

// The listener binds its port once its thread runs; retry until then.
bool connectToSettingsPort(QTcpSocket &socket)
{
    for (int i = 0; i < 100; ++i) {
        socket.connectToHost(QStringLiteral("127.0.0.1"), ListenFile::kSettingsPort);
        if (socket.waitForConnected(200))
            return true;
        socket.abort();
        QTest::qWait(50);
    }
    return false;
}

// A length-prefixed, encrypted settings frame as the settings tool sends it.
QByteArray settingsFrame(const QString &text)
{
    const std::string cipher = aesEncrypt(text.toUtf8().toStdString(), kCipherKeyText, 32);
    uchar length[4];
    qToLittleEndian<quint32>(quint32(cipher.size()), length);
    return QByteArray(reinterpret_cast<const char *>(length), 4) + QByteArray(cipher.data(), int(cipher.size()));
}

} // namespace

class TestPrintConfig : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void buildsAndWiresEverything();
    void trayIconAndMenu();
    void printerStatusSlots();
    void socketMessages_data();
    void socketMessages();
    void settingsFrameReachesController();
    void listenerRowsCrossThreads();
    void trackerRowsCrossThreads();
    void threadsEndBeforeDeletion();

private:
    QTemporaryDir *m_root = nullptr;
    MessageLog *m_log = nullptr;
    PrintConfig *m_controller = nullptr;
};

void TestPrintConfig::init()
{
    m_root = new QTemporaryDir();
    qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_root->path()));
    g_spoolBusy.storeRelease(0);
    QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
    m_log = new MessageLog();
    m_controller = new PrintConfig();
}

void TestPrintConfig::cleanup()
{
    delete m_controller;
    m_controller = nullptr;
    delete m_log;
    qunsetenv("SPOOLBAY_TEST_ROOT");
    delete m_root;
}

void TestPrintConfig::buildsAndWiresEverything()
{
    const QRegularExpression ours(QStringLiteral("PrintConfig|ListenFile|ListenStatus|Status|PrinterTask|QPushButton|QRadioButton|QAction|QTimer"));
    for (const QString &m : m_log->all()) {
        if (!m.contains(ours) || m.contains(QLatin1String("QPlatformNativeInterface")))
            continue;
        QVERIFY2(!m.contains(QLatin1String("No such slot")) && !m.contains(QLatin1String("No such signal"))
                     && !m.contains(QLatin1String("connect failed")),
                 qPrintable(m));
    }
    QVERIFY(m_log->contains(QStringLiteral("this system not support systemtray")));
    QVERIFY(m_log->contains(QStringLiteral("context  : hello")));
    QCOMPARE(m_controller->m_spoolDir, m_root->path() + QStringLiteral("/var/porvik/SPOOL/"));
    QVERIFY(QDir(m_controller->m_spoolDir).exists());
    QVERIFY(m_controller->m_listenFile->isRunning());
    QVERIFY(m_controller->m_listenStatus->isRunning());
    QVERIFY(!m_controller->m_printerStatusTimer->isActive());
    QCOMPARE(m_controller->m_printerStatusTimer->interval(), 1000);
    QCOMPARE(m_controller->mFlag, 0);
    QCOMPARE(m_controller->m_readBuffer.size(), PrintConfig::kReadBufferSize);
    QCOMPARE(m_controller->m_readBuffer.count('\0'), PrintConfig::kReadBufferSize);
    QVERIFY(!(m_controller->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(m_controller->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(m_controller->isHidden());
}

void TestPrintConfig::trayIconAndMenu()
{
    QSystemTrayIcon *tray = m_controller->m_trayIcon;
    QVERIFY(tray);
    QCOMPARE(tray->parent(), m_controller);
    QVERIFY(!tray->icon().isNull());
    QCOMPARE(tray->toolTip(), QStringLiteral("安全增强型打印机TR450一代V1.0.0"));
    QMenu *menu = tray->contextMenu();
    QVERIFY(menu);
    QStringList texts;
    for (QAction *a : menu->actions())
        texts << a->text();
    QCOMPARE(texts, (QStringList{QStringLiteral("作业列表"), QStringLiteral("打印机状态监控")}));

    // "作业列表" opens the job list window.
    menu->actions().at(0)->trigger();
    QVERIFY(m_controller->mPrinterTask.isVisible());
}

void TestPrintConfig::printerStatusSlots()
{
    QSignalSpy ask(m_controller, &PrintConfig::sendAddPrinterAsk);
    QSignalSpy status(m_controller, &PrintConfig::sendPrinterStatus);

    // "打印机状态监控" twice: shown once, the timer runs, two immediate polls.
    QAction *monitor = m_controller->m_trayIcon->contextMenu()->actions().at(1);
    monitor->trigger();
    monitor->trigger();
    QVERIFY(m_controller->mStatus.isVisible());
    QVERIFY(m_controller->m_printerStatusTimer->isActive());
    QCOMPARE(ask.size(), 2);
    for (const QList<QVariant> &a : ask) {
        QCOMPARE(a.at(0).toString(), QString());
        QCOMPARE(a.at(2).toBool(), true);
    }
    QCOMPARE(m_log->debug().count(QStringLiteral("Hello")), 2);

    // An unchanged printer list asks for nothing.
    ask.clear();
    m_controller->onPrinterStatusTimeOut();
    QCOMPARE(ask.size(), 0);

    m_controller->onFlushPrinterStatus(QStringLiteral("192.168.1.20"));
    QCOMPARE(ask.size(), 1);
    QCOMPARE(ask.first().at(0).toString(), QStringLiteral("192.168.1.20"));
    QCOMPARE(ask.first().at(2).toBool(), true);

    m_controller->onPrinterCallback(7, QStringLiteral("192.168.1.20"), {QStringLiteral("12121212")});
    QCOMPARE(status.size(), 1);
    QCOMPARE(status.first().at(0).toString(), QStringLiteral("192.168.1.20"));
    QCOMPARE(status.first().at(1).toStringList(), QStringList{QStringLiteral("12121212")});
    QVERIFY(m_log->contains(QStringLiteral("*****Printer Status:")));
}

void TestPrintConfig::socketMessages_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("DBSetting") << "<Setting type=\"DBSetting\"><Server>x</Server></Setting>";
    QTest::newRow("BarcodeSetting") << "<Setting type=\"BarcodeSetting\"/>";
    QTest::newRow("not XML") << "%d %s <<<";
    QTest::newRow("empty") << "";
}

void TestPrintConfig::socketMessages()
{
    QFETCH(QString, message);
    const QString before = m_controller->BarcodeTemplate + m_controller->BarcodePosition;
    m_controller->onSocketMessage(message);
    QCOMPARE(m_log->debug().last(), QStringLiteral("socket recive ") + message);
    // Settings are recognised, never applied.
    QCOMPARE(m_controller->BarcodeTemplate + m_controller->BarcodePosition, before);
}

void TestPrintConfig::settingsFrameReachesController()
{
    const QString text = QStringLiteral("<Setting type=\"DBSetting\">设置</Setting>");
    QTcpSocket socket;
    QVERIFY(connectToSettingsPort(socket));
    socket.write(settingsFrame(text));
    socket.flush();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->debug().contains(QStringLiteral("socket recive ") + text), 20000);
}

void TestPrintConfig::listenerRowsCrossThreads()
{
    // Row 2: the controller asks the listener thread to delete a job's files.
    const QString job = m_controller->m_spoolDir + QStringLiteral("gone.pcl");
    for (const QString &suffix : {QString(), QStringLiteral(".xml"), QStringLiteral(".bar")}) {
        QFile f(job + suffix);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    // Keep the file from being handed over meanwhile.
    g_spoolBusy.storeRelease(1);
    emit m_controller->sigRemoveFile(job);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_controller->m_spoolDir).entryList(QDir::Files).isEmpty(), 20000);
    QVERIFY(m_log->contains(QStringLiteral("begin to removeFile: ") + job));
    g_spoolBusy.storeRelease(0);
}

void TestPrintConfig::trackerRowsCrossThreads()
{
    QTemporaryDir store;
    SimPrinterProcess printer(QString(), store.path(),
                              {QStringLiteral("--printer-status"), QStringLiteral("2,1001,2002"),
                               QStringLiteral("--unknown-job-reply"), QStringLiteral("Processing")});
    QVERIFY(printer.start());
    QSignalSpy toWindow(m_controller, &PrintConfig::sendPrinterStatus);
    // Job answers as the controller gets them: queued into this thread like its own slot.
    QStringList answers;
    QObject receiver;
    QVERIFY(connect(m_controller->m_listenStatus, &ListenStatus::sigSendPrinterStatus, &receiver,
                    [&](const QString &state, const QString &job) { answers << job + QLatin1Char(' ') + state; }));
    // Polls of our job only: a printer address may have served another test before.
    const auto polls = [&] {
        return int(printer.requestBodies(QStringLiteral("getJobStatus")).count(QByteArray("jobID=w1")));
    };

    // Rows 9, 6 and 8: a poll asked for now comes back to the status window.
    emit m_controller->sendAddPrinterAsk(QString(), {printer.host()}, true);
    QVERIFY(printer.waitForEvent(QStringLiteral("printerstatus"), 20000));
    QTRY_COMPARE_WITH_TIMEOUT(toWindow.size(), 1, 20000);
    QCOMPARE(toWindow.first().at(0).toString(), printer.host());
    QCOMPARE(toWindow.first().at(1).toStringList(), (QStringList{QStringLiteral("1001"), QStringLiteral("2002")}));

    // Rows 4 and 5: a watched job is polled, its answers reach the controller, and it
    // stays watched while it is Processing.
    emit m_controller->sigListenStatus(QStringLiteral("w1"), QStringLiteral("w1.pdf"),
                                       QStringLiteral("2026-12-10 10:00:00"), printer.host());
    QTRY_VERIFY_WITH_TIMEOUT(answers.size() >= 2, 30000);
    QCOMPARE(answers.first(), QStringLiteral("w1 Processing"));
    QVERIFY(polls() >= 2);

    // Row 7: once removed the job is asked no more. Remove it right after an answer
    // (the next poll is a timer period away), then wait until the tracker thread has
    // taken the removal and every poll sent before it has been answered.
    const int seen = answers.size();
    QTRY_VERIFY_WITH_TIMEOUT(answers.size() > seen, 30000);
    emit m_controller->sigRemoveJob(QStringLiteral("w1"));
    QVERIFY(QMetaObject::invokeMethod(m_controller->m_listenStatus, [] {}, Qt::BlockingQueuedConnection));
    QTRY_COMPARE_WITH_TIMEOUT(polls(), answers.size(), 30000);
    const int asked = polls();
    // Longer than the 2 s poll period: a job still watched would be asked again.
    QTest::qWait(4500);
    QCOMPARE(polls(), asked);
    QCOMPARE(answers.size(), asked);
}

void TestPrintConfig::threadsEndBeforeDeletion()
{
    QStringList events;
    QMutex mutex;
    auto note = [&](const QString &e) {
        QMutexLocker lock(&mutex);
        events << e;
    };
    QThread *threads[] = {m_controller->m_listenFile, m_controller->m_listenStatus};
    for (QThread *t : threads) {
        connect(t, &QThread::finished, t, [&, t] { note(QStringLiteral("finished ") + t->metaObject()->className()); },
                Qt::DirectConnection);
        connect(t, &QObject::destroyed, [&] { note(QStringLiteral("destroyed")); });
    }
    // Some traffic first, so the listener holds a live connection at shutdown.
    QTcpSocket peer;
    QVERIFY(connectToSettingsPort(peer));
    peer.write(settingsFrame(QStringLiteral("before shutdown")));
    peer.flush();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->debug().contains(QStringLiteral("socket recive before shutdown")), 20000);
    m_log->clear();
    QElapsedTimer clock;
    clock.start();
    delete m_controller;
    m_controller = nullptr;
    // Bounded well below the 60 s request time-out: nothing waits on the network.
    QVERIFY(clock.elapsed() < 15000);
    QCOMPARE(events.size(), 4);
    QVERIFY(events[0].startsWith(QLatin1String("finished")));
    QVERIFY(events[1].startsWith(QLatin1String("finished")));
    QCOMPARE(events[2], QStringLiteral("destroyed"));
    QCOMPARE(events[3], QStringLiteral("destroyed"));
    // Timers, sockets and notifiers go away in their own thread.
    for (const QString &m : m_log->all())
        QVERIFY2(!m.contains(QLatin1String("thread")), qPrintable(m));

    // The port is free again for the next controller.
    QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort, 10000));
}

QTEST_MAIN(TestPrintConfig)
#include "tst_printconfig.moc"
