// The real job desk in the session of a member, alice, while another member,
// bob, changes what is in the spool folder under it: a job it cannot take
// stays, and is said once per change, not at every look.
#include "jobdesk.h"
#include "jobprinter.h"
#include "membersite.h"
#include "pjljob.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testjob;

namespace
{

PjlJob jobFor(const QString &host, quint32 seed = 1)
{
    PjlJob job;
    job.queue = host.toLatin1();
    job.seed = seed;
    return job;
}

QByteArray bytesOf(const PjlJob &job)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/j");
    return writePjlJob(path, job) ? fileBytes(path) : QByteArray();
}

QString quoted(const QString &path)
{
    return QLatin1Char('\'') + path + QLatin1Char('\'');
}

} // namespace

class TestMemberDesk : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void jobWithoutPrinter_data();
    void jobWithoutPrinter();
    void keptJobSaidOncePerChange_data();
    void keptJobSaidOncePerChange();

private:
    // Bob's own folder beside the spool folder, to make what he renames in.
    QString bobStage() const { return m_site->root() + QStringLiteral("/bob-stage"); }
    int asBob(const QString &command) const { return m_site->runAs(kBob, command); }
    // Waits until the printer has the whole job and the spool folder is empty.
    void waitPrinted(const JobPrinter &printer, const QString &job);

    std::unique_ptr<MemberSite> m_site;
};

void TestMemberDesk::initTestCase()
{
    if (!MemberSite::unusable().isEmpty())
        QSKIP(qPrintable(MemberSite::unusable()));
    QVERIFY(SimPrinterProcess::waitForPortFree(18020));
}

void TestMemberDesk::init()
{
    m_site.reset(new MemberSite());
    QVERIFY(m_site->ok());
    QVERIFY(QDir().mkpath(bobStage()));
    QVERIFY(setOwner(bobStage(), kBob, kBob, 0700));
}

void TestMemberDesk::cleanup()
{
    // Whatever happened, her job desk was never ended by what bob did.
    if (m_site->deskRunning() || !QTest::currentTestFailed())
        QVERIFY2(m_site->stopDesk(), "the job desk had ended");
    m_site.reset();
}

void TestMemberDesk::waitPrinted(const JobPrinter &printer, const QString &job)
{
    QTRY_VERIFY_WITH_TIMEOUT(printer.parts(job).join('\n').contains("end " + job + "_end.pcl"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_site->spool(QString())).isEmpty(), 20000);
}

void TestMemberDesk::jobWithoutPrinter_data()
{
    QTest::addColumn<bool>("byCompanion"); // the companion names the printer, else the converter is put back
    QTest::newRow("the companion names the printer later") << true;
    QTest::newRow("the converter is put back") << false;
}

// Without the converter the companion stays empty and names no printer: the
// job is refused once (not at every look), stays, and nothing is logged in the
// data folder; once a printer is named it prints.
void TestMemberDesk::jobWithoutPrinter()
{
    QFETCH(bool, byCompanion);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    m_site->removeConverter();
    QVERIFY(m_site->startDesk(kAlice));
    const QString data = m_site->porvik(QStringLiteral("data"));

    QVERIFY(m_site->handOver("nowhere.pcl", jobFor(printer.host())));
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines("printer name refused: "), 1, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines("printer name refused: "), 1);
    QCOMPARE(m_site->logLines(QFile::encodeName(m_site->spool("nowhere.pcl")) + " nowhere"), 1); // one try
    QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files), QStringList({"nowhere.pcl", "nowhere.pcl.xml"}));
    QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(printer.parts(QStringLiteral("nowhere")).isEmpty());

    if (byCompanion)
        QCOMPARE(asBob("printf '<JPrinterName>%s</JPrinterName>' " + printer.host() + " > " +
                       quoted(m_site->spool("nowhere.pcl.xml"))),
                 0);
    else
        m_site->installConverter();
    waitPrinted(printer, QStringLiteral("nowhere"));
    QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList(printer.host()));
    const auto rows = readJobLog(data + QLatin1Char('/') + printer.host() + QStringLiteral("/porvikdb.dll"));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().value("DeviceIP"), printer.host());
}

void TestMemberDesk::keptJobSaidOncePerChange_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<bool>("printedFirst");   // a job of that name printed before
    QTest::addColumn<QByteArray>("content");  // the job file; empty: a whole job
    QTest::addColumn<int>("companionBytes");
    QTest::addColumn<QByteArray>("line");     // what the refusal logs
    QTest::addColumn<QByteArray>("changed");  // what bob then adds a byte to

    QTest::newRow("still being written") << "open" << false << pjlHeader(PjlJob()) << 0
                                         << QStringLiteral("文件正在产生").toUtf8() << QByteArray(".pcl");
    QTest::newRow("a name already used") << "again" << true << QByteArray() << 0
                                         << QByteArray("job is printing, printer state : ") << QByteArray(".pcl");
}

// A job that stays in the spool folder is logged once, and once more when bob
// changes it, not at every look of the listener (every 500 ms).
void TestMemberDesk::keptJobSaidOncePerChange()
{
    QFETCH(QString, job);
    QFETCH(bool, printedFirst);
    QFETCH(QByteArray, content);
    QFETCH(int, companionBytes);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, changed);
    JobPrinter printer({"--states", "Queueing"});
    QVERIFY(printer.start());
    QVERIFY(m_site->startDesk(kAlice));
    const QByteArray name = job.toUtf8() + ".pcl";
    const QByteArray bytes = content.isEmpty() ? bytesOf(jobFor(printer.host())) : content;
    if (printedFirst) {
        QVERIFY(m_site->handOver(name, bytes));
        waitPrinted(printer, job);
    }

    QVERIFY(m_site->handOver(name, bytes, QByteArray(companionBytes, ' ')));
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines(line), 1, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines(line), 1);
    QCOMPARE(QDir(m_site->spool(QString())).entryList(QDir::Files),
             QStringList({QString::fromUtf8(name), QString::fromUtf8(name + ".xml")}));

    QCOMPARE(asBob("printf x >> " + quoted(m_site->spool(job + QString::fromUtf8(changed)))), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_site->logLines(line), 2, 20000);
    QTest::qWait(3000);
    QCOMPARE(m_site->logLines(line), 2);
    QCOMPARE(printer.parts(job).size(), printedFirst ? 2 : 0);
}

QTEST_MAIN(TestMemberDesk)
#include "tst_memberdesk.moc"
