// The spool listener on a real folder and the settings socket over real TCP.
#include "listenfile.h"
#include "messagelog.h"
#include "simprinter.h"
#include "textcipher.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cryptopp/cryptlib.h>

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray frame(const QByteArray &payload, quint32 announced)
{
    uchar length[4];
    qToLittleEndian<quint32>(announced, length);
    return QByteArray(reinterpret_cast<const char *>(length), 4) + payload;
}

QByteArray cipherFrame(const QString &text)
{
    const std::string c = aesEncrypt(text.toUtf8().toStdString(), kCipherKeyText, 32);
    const QByteArray payload(c.data(), int(c.size()));
    return frame(payload, quint32(payload.size()));
}

// Collects the listener's signals in the test thread (queued across threads).
class Sink : public QObject
{
    Q_OBJECT
public:
    QStringList files;
    QStringList messages;
public slots:
    void onFile(QString path) { files << path; }
    void onMessage(QString text) { messages << text; }
};

} // namespace

class TestListenFile : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void handsOverOnceWhileBusy();
    void refusedFileOfferedAgainOnChange_data();
    void refusedFileOfferedAgainOnChange();
    void needsCompanionFile();
    void largestFileFirst();
    void startupPurge_data();
    void startupPurge();
    void removeFileTakesCompanions();
    void companionFolderThatCannotGo();

    void threadHandsOverAndRemoves();
    void splitFrame();
    void frameSizes_data();
    void frameSizes();
    void oversizedFrameClosesConnection();
    void garbageIsDroppedAndListenerRuns();
    void twoFramesInOneWrite();
    void manyConnections();

private:
    void startListener();
    QTcpSocket *connectToListener();

    QTemporaryDir *m_dir = nullptr;
    QString m_spool;
    ListenFile *m_listener = nullptr;
    Sink *m_sink = nullptr;
    QList<QTcpSocket *> m_sockets;
};

void TestListenFile::init()
{
    g_spoolBusy.storeRelease(0);
    m_dir = new QTemporaryDir();
    m_spool = m_dir->path() + QLatin1Char('/');
    m_sink = new Sink();
}

void TestListenFile::cleanup()
{
    qDeleteAll(m_sockets);
    m_sockets.clear();
    if (m_listener) {
        m_listener->quit();
        QVERIFY(m_listener->wait(20000));
        delete m_listener;
        m_listener = nullptr;
    }
    delete m_sink;
    delete m_dir;
    g_spoolBusy.storeRelease(0);
}

void TestListenFile::startListener()
{
    QVERIFY(SimPrinterProcess::waitForPortFree(ListenFile::kSettingsPort));
    m_listener = new ListenFile(m_spool);
    QVERIFY(connect(m_listener, SIGNAL(sigFindFile(QString)), m_sink, SLOT(onFile(QString))));
    QVERIFY(connect(m_listener, SIGNAL(sigSocket(QString)), m_sink, SLOT(onMessage(QString))));
    m_listener->start();
    // The server is made in the thread; wait until it accepts.
    QTcpSocket probe;
    for (int i = 0; i < 250; ++i) {
        probe.connectToHost(QStringLiteral("127.0.0.1"), ListenFile::kSettingsPort);
        if (probe.waitForConnected(100))
            return;
        probe.abort();
        QTest::qWait(20);
    }
    QFAIL("settings port never opened");
}

QTcpSocket *TestListenFile::connectToListener()
{
    auto *socket = new QTcpSocket();
    m_sockets << socket;
    socket->connectToHost(QStringLiteral("127.0.0.1"), ListenFile::kSettingsPort);
    socket->waitForConnected(10000);
    return socket;
}

void TestListenFile::handsOverOnceWhileBusy()
{
    ListenFile listener(m_spool);
    writeFile(m_spool + "job1.pcl", "data");
    writeFile(m_spool + "job1.pcl.xml", "<x/>");
    QCOMPARE(listener.scanSpool(), QStringList{m_spool + "job1.pcl"});
    QCOMPARE(g_spoolBusy.loadAcquire(), 1);
    QCOMPARE(listener.scanSpool(), QStringList());
    g_spoolBusy.storeRelease(2);  // a failed upload still holds the pipeline
    QCOMPARE(listener.scanSpool(), QStringList());
}

void TestListenFile::refusedFileOfferedAgainOnChange_data()
{
    QTest::addColumn<QString>("changed"); // the file written anew; empty: none
    QTest::addColumn<bool>("offered");
    QTest::newRow("nothing changed") << QString() << false;
    QTest::newRow("the job file") << "r.pcl" << true;
    QTest::newRow("its companion") << "r.pcl.xml" << true;
    QTest::newRow("the converter tool") << "var/porvik/INSTALL/pruvo" << true;
}

// A file still there once the controller is idle again was refused: it is
// offered again only when it, its companion or the converter tool that fills
// the companion has changed, and then once.
void TestListenFile::refusedFileOfferedAgainOnChange()
{
    QFETCH(QString, changed);
    QFETCH(bool, offered);
    qputenv("SPOOLBAY_TEST_ROOT", QFile::encodeName(m_dir->path()));
    QVERIFY(QDir().mkpath(m_dir->path() + "/var/porvik/INSTALL"));
    writeFile(m_dir->path() + "/var/porvik/INSTALL/pruvo", "tool");
    ListenFile listener(m_spool);
    writeFile(m_spool + "r.pcl", "data");
    writeFile(m_spool + "r.pcl.xml", "<x/>");
    QCOMPARE(listener.scanSpool(), QStringList{m_spool + "r.pcl"});
    g_spoolBusy.storeRelease(0); // refused: the controller is done and the file is still there
    for (int i = 0; i < 3; ++i)
        QCOMPARE(listener.scanSpool(), QStringList());

    if (!changed.isEmpty()) {
        const QString path = changed.startsWith("var/") ? m_dir->path() + "/" + changed : m_spool + changed;
        writeFile(path, "changed, longer");
    }
    QCOMPARE(listener.scanSpool(), offered ? QStringList{m_spool + "r.pcl"} : QStringList());
    g_spoolBusy.storeRelease(0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(listener.scanSpool(), QStringList());
    qunsetenv("SPOOLBAY_TEST_ROOT");
}

void TestListenFile::needsCompanionFile()
{
    ListenFile listener(m_spool);
    writeFile(m_spool + "job2.pcl.xml", "<x/>");
    writeFile(m_spool + "job2.pcl.bar", "bar");
    writeFile(m_spool + "job3.pcl", "no companion");
    QCOMPARE(listener.scanSpool(), QStringList());
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
}

void TestListenFile::largestFileFirst()
{
    ListenFile listener(m_spool);
    writeFile(m_spool + "a.pcl", QByteArray(10, 'a'));
    writeFile(m_spool + "a.pcl.xml", "x");
    writeFile(m_spool + "b.pcl", QByteArray(5000, 'b'));
    writeFile(m_spool + "b.pcl.xml", "x");
    QCOMPARE(listener.scanSpool(), QStringList{m_spool + "b.pcl"});
}

void TestListenFile::startupPurge_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("empty") << QStringList() << QStringList();
    QTest::newRow("one file stays") << QStringList{"lonely.pcl"} << QStringList{"lonely.pcl"};
    QTest::newRow("two or more go") << QStringList{"j.pcl", "j.pcl.xml", "j.pcl.bar"} << QStringList();
}

void TestListenFile::startupPurge()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, left);
    for (const QString &f : files)
        writeFile(m_spool + f, "x");
    QDir(m_spool).mkdir(QStringLiteral("sub"));  // folders are not files and stay
    ListenFile listener(m_spool);
    QCOMPARE(QDir(m_spool).entryList(QDir::Files), left);
    QVERIFY(QDir(m_spool + "sub").exists());
}

void TestListenFile::removeFileTakesCompanions()
{
    ListenFile listener(m_spool);
    writeFile(m_spool + "k.pcl", "x");
    writeFile(m_spool + "k.pcl.xml", "x");
    writeFile(m_spool + "other.pcl", "x");
    listener.onRemoveFile(m_spool + "k.pcl");
    QCOMPARE(QDir(m_spool).entryList(QDir::Files), QStringList{"other.pcl"});
    writeFile(m_spool + "m.pcl", "x");
    writeFile(m_spool + "m.pcl.bar", "x");
    listener.onRemoveFile(m_spool + "m.pcl");
    QCOMPARE(QDir(m_spool).entryList(QDir::Files), QStringList{"other.pcl"});
}

// A folder named like a companion that holds something is not emptied (what
// it holds may be a link by then): it stays, is said once, and its job is
// never handed over.
void TestListenFile::companionFolderThatCannotGo()
{
    MessageLog log;
    ListenFile listener(m_spool);
    writeFile(m_spool + "j.pcl", "data");
    QVERIFY(QDir(m_spool).mkpath("j.pcl.xml/inner"));
    writeFile(m_spool + "j.pcl.xml/inner/kept", "x");
    for (int i = 0; i < 3; ++i)
        QCOMPARE(listener.scanSpool(), QStringList());
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
    QVERIFY(QFile::exists(m_spool + "j.pcl.xml/inner/kept"));
    QCOMPARE(log.debug().filter("spool entry is not a regular file, left in place: j.pcl.xml").size(), 1);
}

void TestListenFile::threadHandsOverAndRemoves()
{
    startListener();
    writeFile(m_spool + "t.pcl", "data");
    writeFile(m_spool + "t.pcl.xml", "x");
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->files, QStringList{m_spool + "t.pcl"}, 20000);
    QTest::qWait(1200);  // two more scans: nothing while the flag is 1
    QCOMPARE(m_sink->files.size(), 1);
    QMetaObject::invokeMethod(m_listener, "onRemoveFile", Q_ARG(QString, m_spool + "t.pcl"));
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_spool).entryList(QDir::Files).isEmpty(), 20000);
}

void TestListenFile::splitFrame()
{
    startListener();
    const QByteArray whole = cipherFrame(QStringLiteral("<Setting type=\"DBSetting\"/>"));
    QTcpSocket *s = connectToListener();
    s->write(whole.left(2));
    s->flush();
    QTest::qWait(100);
    s->write(whole.mid(2, 10));
    s->flush();
    QTest::qWait(100);
    QVERIFY(m_sink->messages.isEmpty());
    s->write(whole.mid(12));
    s->flush();
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages, QStringList{"<Setting type=\"DBSetting\"/>"}, 20000);
}

void TestListenFile::frameSizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("zero length") << QString();
    QTest::newRow("2048 payload bytes") << QString(2040, QLatin1Char('x'));
    QTest::newRow("Chinese") << QStringLiteral("<Setting type=\"BarcodeSetting\">部门</Setting>");
}

void TestListenFile::frameSizes()
{
    QFETCH(QString, text);
    startListener();
    const QByteArray f = text.isEmpty() ? frame(QByteArray(), 0) : cipherFrame(text);
    if (text.size() == 2040)
        QCOMPARE(f.size(), 4 + 2048);
    QTcpSocket *s = connectToListener();
    s->write(f);
    s->flush();
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages.size(), 1, 20000);
    QCOMPARE(m_sink->messages.first(), text);
}

void TestListenFile::oversizedFrameClosesConnection()
{
    startListener();
    QTcpSocket *s = connectToListener();
    // A valid-looking payload behind a length one byte too long.
    s->write(frame(QByteArray(2049, 'z'), 2049));
    s->flush();
    QVERIFY(s->state() == QAbstractSocket::UnconnectedState || s->waitForDisconnected(20000));
    QTest::qWait(200);
    QVERIFY(m_sink->messages.isEmpty());

    QTcpSocket *next = connectToListener();
    next->write(cipherFrame(QStringLiteral("after")));
    next->flush();
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages, QStringList{"after"}, 20000);
}

void TestListenFile::garbageIsDroppedAndListenerRuns()
{
    startListener();
    const QByteArray notBlocks("0123456789abcdefghij");      // 20 bytes
    const QByteArray badPadding(32, char(0x41));
    QVERIFY_EXCEPTION_THROWN(aesDecrypt(badPadding.toStdString(), kCipherKeyText, 32), CryptoPP::Exception);
    QTcpSocket *s = connectToListener();
    s->write(frame(notBlocks, quint32(notBlocks.size())));
    s->write(frame(badPadding, quint32(badPadding.size())));
    s->write(cipherFrame(QStringLiteral("still here")));
    s->flush();
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages, QStringList{"still here"}, 20000);

    // Plain text is read as an absurd length: that peer is dropped.
    QTcpSocket *http = connectToListener();
    http->write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    http->flush();
    QVERIFY(http->state() == QAbstractSocket::UnconnectedState || http->waitForDisconnected(20000));

    // The spool scan goes on through all of it.
    writeFile(m_spool + "g.pcl", "data");
    writeFile(m_spool + "g.pcl.xml", "x");
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->files, QStringList{m_spool + "g.pcl"}, 20000);
}

void TestListenFile::twoFramesInOneWrite()
{
    startListener();
    QTcpSocket *s = connectToListener();
    s->write(cipherFrame(QStringLiteral("one")) + cipherFrame(QStringLiteral("two")));
    s->flush();
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages, (QStringList{"one", "two"}), 20000);
}

void TestListenFile::manyConnections()
{
    startListener();
    QList<QTcpSocket *> peers;
    for (int i = 0; i < 20; ++i)
        peers << connectToListener();
    QTest::qWait(200);
    // The earliest peers speak last: every open connection is still served.
    for (int i = peers.size() - 1; i >= 0; --i) {
        peers[i]->write(cipherFrame(QStringLiteral("peer %1").arg(i)));
        peers[i]->flush();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->messages.size(), 20, 20000);
    QStringList sorted = m_sink->messages;
    sorted.sort();
    QStringList expected;
    for (int i = 0; i < 20; ++i)
        expected << QStringLiteral("peer %1").arg(i);
    expected.sort();
    QCOMPARE(sorted, expected);
}

QTEST_GUILESS_MAIN(TestListenFile)
#include "tst_listenfile.moc"
