// Start-up: the single-instance lock (real processes) and the log handler.
#include "listenfile.h"
#include "paths.h"
#include "simprinter.h"
#include "startup.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs fn with standard output sent to a file; returns what was printed.
template <typename Fn>
QByteArray captureStdout(Fn fn)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("out")));
    std::fflush(stdout);
    const int saved = ::dup(1);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
    fn();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    return readAll(QString::fromLocal8Bit(path));
}

void debugMessage(const QString &text, QtMsgType type = QtDebugMsg)
{
    messageOutput(type, QMessageLogContext(), text);
}

const QRegularExpression kPrefix(QStringLiteral("^\\n\\[\\d\\d:\\d\\d:\\d\\d\\]"));

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void secondInstanceExitsWithLockError();
    void missingInstallFolderGivesCreateError();
    void startsWithoutFontOrTranslation();
    void debugLineFormat();
    void otherTypesAreIgnored_data();
    void otherTypesAreIgnored();
    void restartAboveLimit_data();
    void restartAboveLimit();
    void missingLogFolderPrintsOnly();
    void threadsLogWholeLines();
    void ensureFolder();

private:
    QProcess *startSpoolbay(const QString &program = QStringLiteral(SPOOLBAY_BIN));
    QTemporaryDir *m_root = nullptr;
    QString m_log;
};

void TestStartup::init()
{
    m_root = new QTemporaryDir();
    QVERIFY(QDir().mkpath(m_root->path() + QStringLiteral("/var/porvik/INSTALL/Log")));
    qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_root->path()));
    m_log = paths::logFile();
    QVERIFY(m_log.startsWith(m_root->path()));
    // The job desks started here bind the settings port.
    QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
}

void TestStartup::cleanup()
{
    qunsetenv("SPOOLBAY_TEST_ROOT");
    delete m_root;
}

QProcess *TestStartup::startSpoolbay(const QString &program)
{
    auto *p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLBAY_TEST_ROOT"), m_root->path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p->setProcessEnvironment(env);
    p->start(program, QStringList());
    return p;
}

void TestStartup::secondInstanceExitsWithLockError()
{
    QProcess *first = startSpoolbay();
    QVERIFY(first->waitForStarted());
    // The listener's cipher self-test is logged once the controller stands.
    QTRY_VERIFY_WITH_TIMEOUT(readAll(m_log).contains("context  : hello"), 30000);
    const QByteArray logBefore = readAll(m_log);
    QVERIFY(logBefore.contains("this system not support systemtray"));

    QProcess *second = startSpoolbay();
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(second->readAllStandardError().contains("lock file error"));
    QCOMPARE(readAll(m_log), logBefore);  // the second wrote nothing to the log
    QCOMPARE(first->state(), QProcess::Running);

    first->terminate();
    QVERIFY(first->waitForFinished(20000));
}

void TestStartup::missingInstallFolderGivesCreateError()
{
    QVERIFY(QDir(m_root->path() + QStringLiteral("/var/porvik/INSTALL")).removeRecursively());
    QProcess *p = startSpoolbay();
    QVERIFY(p->waitForFinished(30000));
    QCOMPARE(p->exitCode(), 0);
    QVERIFY(p->readAllStandardError().contains("create file error"));
    QVERIFY(!QDir(m_root->path() + QStringLiteral("/var/porvik/SPOOL")).exists());
}

void TestStartup::startsWithoutFontOrTranslation()
{
    // A lone copy of the program: no font and no translation beside it.
    QTemporaryDir bare;
    const QString program = bare.filePath(QStringLiteral("Spoolbay"));
    QVERIFY(QFile::copy(QStringLiteral(SPOOLBAY_BIN), program));
    QProcess *p = startSpoolbay(program);
    QVERIFY(p->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(readAll(m_log).contains("context  : hello"), 30000);
    QCOMPARE(p->state(), QProcess::Running);
    p->terminate();
    QVERIFY(p->waitForFinished(20000));
}

void TestStartup::debugLineFormat()
{
    const QByteArray out = captureStdout([] { debugMessage(QStringLiteral("job %d of %s 100%")); });
    QVERIFY2(QString::fromLatin1(out).contains(kPrefix), out.constData());
    QVERIFY(out.endsWith("] job %d of %s 100% "));
    QCOMPARE(out.size(), 11 + 1 + 17 + 1);

    captureStdout([] { debugMessage(QStringLiteral("机密")); });
    const QByteArray log = readAll(m_log);
    const QList<QByteArray> lines = log.split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[1].endsWith("]job %d of %s 100%"));
    QVERIFY(lines[2].endsWith(QStringLiteral("]机密").toUtf8()));
    QCOMPARE(lines[1].size(), 10 + 17);
}

void TestStartup::otherTypesAreIgnored_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("warning") << int(QtWarningMsg);
    QTest::newRow("critical") << int(QtCriticalMsg);
    QTest::newRow("info") << int(QtInfoMsg);
}

void TestStartup::otherTypesAreIgnored()
{
    QFETCH(int, type);
    const QByteArray out = captureStdout([type] { debugMessage(QStringLiteral("noise"), QtMsgType(type)); });
    QCOMPARE(out, QByteArray());
    QVERIFY(!QFile::exists(m_log));
}

void TestStartup::restartAboveLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("restarts");
    QTest::newRow("exactly the limit appends") << 102400 << false;
    QTest::newRow("one byte more restarts") << 102401 << true;
}

void TestStartup::restartAboveLimit()
{
    QFETCH(int, size);
    QFETCH(bool, restarts);
    const QByteArray old(size, 'o');
    {
        QFile f(m_log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(old);
    }
    captureStdout([] { debugMessage(QStringLiteral("next")); });
    const QByteArray log = readAll(m_log);
    QByteArray rest;
    if (restarts) {
        QVERIFY(log.startsWith("\n-----------------restart---------------"));
        QCOMPARE(int(sizeof kLogRestartMarker - 1), 40);
        rest = log.mid(40);
    } else {
        QVERIFY(log.startsWith(old));
        rest = log.mid(size);
    }
    QVERIFY2(QString::fromLatin1(rest).contains(kPrefix), rest.constData());
    QVERIFY(rest.endsWith("]next"));
    QCOMPARE(rest.size(), 11 + 4);
}

void TestStartup::missingLogFolderPrintsOnly()
{
    QVERIFY(QDir(m_root->path() + QStringLiteral("/var/porvik/INSTALL/Log")).removeRecursively());
    const QByteArray out = captureStdout([] { debugMessage(QStringLiteral("lost")); });
    QVERIFY(out.endsWith("] lost "));
    QVERIFY(!QFile::exists(m_log));
}

void TestStartup::threadsLogWholeLines()
{
    captureStdout([] {
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([t] {
                for (int m = 0; m < 200; ++m)
                    debugMessage(QStringLiteral("thread %1 message %2 %3").arg(t).arg(m).arg(QString(40, QLatin1Char('x'))));
            });
            threads.last()->start();
        }
        for (QThread *th : threads) {
            th->wait();
            delete th;
        }
    });
    const QList<QByteArray> lines = readAll(m_log).split('\n');
    QCOMPARE(lines.size(), 801);
    const QRegularExpression whole(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]thread \\d message \\d+ x{40}$"));
    for (int i = 1; i < lines.size(); ++i)
        QVERIFY2(whole.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
}

void TestStartup::ensureFolder()
{
    const QString deep = m_root->path() + QStringLiteral("/a/b/c/");
    QVERIFY(::ensureFolder(deep));
    QVERIFY(QDir(deep).exists());
    QVERIFY(::ensureFolder(deep));
    QFile blocker(m_root->path() + QStringLiteral("/file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!::ensureFolder(m_root->path() + QStringLiteral("/file/sub")));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
