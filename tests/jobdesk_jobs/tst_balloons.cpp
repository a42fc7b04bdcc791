// The tray messages a user sees for a job, on a real system tray (Xvfb with
// trayer): refused and failed uploads, and the printed job.
#include "jobdesk.h"
#include "printconfig.h"
#include "jobprinter.h"

#include <QApplication>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QtTest>

using namespace testjob;

namespace {

// Texts of the balloon on screen, if one is.
QStringList balloonTexts()
{
    QStringList texts;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "QBalloonTip") != 0 || !w->isVisible())
            continue;
        for (QLabel *label : w->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                texts << label->text();
    }
    return texts;
}

void closeBalloons()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qstrcmp(w->metaObject()->className(), "QBalloonTip") == 0)
            w->close();
}

} // namespace

class TestBalloons : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void jobMessages_data();
    void jobMessages();

private:
    std::unique_ptr<JobDesk> m_desk;
};

void TestBalloons::initTestCase()
{
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
    QVERIFY(m_desk->controller()->m_trayIcon->isVisible());
}

void TestBalloons::cleanupTestCase()
{
    m_desk.reset();
}

void TestBalloons::jobMessages_data()
{
    QTest::addColumn<QStringList>("printerArgs");
    QTest::addColumn<QString>("message");   // empty: no balloon at all
    QTest::newRow("2001 on part 2") << QStringList{"--print-replies", "1001,2001"} << QStringLiteral("权限拒绝打印！");
    QTest::newRow("3001") << QStringList{"--print-replies", "3001"} << QStringLiteral("打印机异常.");
    QTest::newRow("HTTP 500") << QStringList{"--print-replies", "http:500"} << QStringLiteral("打印机异常");
    QTest::newRow("printed")
        << QStringList{"--states", "Completed", "--state-interval-ms", "100"} << QStringLiteral("打印完成");
    QTest::newRow("printed, status removal refused")
        << QStringList{"--states", "Completed", "--state-interval-ms", "100", "--remove-reply", "2001"} << QString();
}

void TestBalloons::jobMessages()
{
    QFETCH(QStringList, printerArgs);
    QFETCH(QString, message);
    static int n = 0;
    const QString job = QStringLiteral("b%1").arg(++n);
    JobPrinter printer(printerArgs);
    QVERIFY(printer.start());
    closeBalloons();
    QTRY_VERIFY_WITH_TIMEOUT(balloonTexts().isEmpty(), 20000);

    PjlJob pjl;
    pjl.queue = printer.host().toLatin1();
    pjl.totalSize = 2 * 409600 + 100;
    QVERIFY(m_desk->dropJob(job + QStringLiteral(".pcl"), pjl));
    if (message.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(!printer.requestBodies(QStringLiteral("removeJobStatus")).isEmpty(), 20000);
        QTest::qWait(500);
        QCOMPARE(balloonTexts(), QStringList());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(balloonTexts(), QStringList({QStringLiteral("消息提示"), message}), 20000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(m_desk->spoolFiles().isEmpty(), 20000);
}

QTEST_MAIN(TestBalloons)
#include "tst_balloons.moc"
