// The intake of one spool file: stem and job name, the completeness test,
// the converter stand-in and the printer information it leaves, the ticket
// file, and the job-log update of the controller.
#include "jobdesk.h"
#include "listenfile.h"
#include "paths.h"
#include "printconfig.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testjob;

namespace
{

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// A whole PJL job, but not one of our filter.
const QByteArray kOtherJob = "\x1b%-12345X@PJL JOB\r\n@PJL EOJ\r\n%!PS-Adobe-3.0\nshowpage\n@PJL EOJ\r\n\x1b%-12345X";

// Every path below `dir`, to see that nothing was created anywhere in it.
QStringList tree(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    return paths;
}

} // namespace

class TestIntake : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void stemAndJobName_data();
    void stemAndJobName();
    void completeness_data();
    void completeness();
    void converterReadsFilterJobs_data();
    void converterReadsFilterJobs();
    void converterOnOtherFiles();
    void converterOthersCouldHaveWritten_data();
    void converterOthersCouldHaveWritten();
    void printerInformationByTagMarks_data();
    void printerInformationByTagMarks();
    void hostInterfacePerJob();
    void ticketFile();
    void jobLogUpdateFindsFirstRecord();
    void printerNameThatIsNoPlainName_data();
    void printerNameThatIsNoPlainName();

private:
    PrintConfig *pc() const { return m_desk->controller(); }
    // The intake's first steps on a file: checked and copied, ready for the converter.
    void takeJob(const QString &path);
    QString work(const QString &name) const { return m_work.path() + QLatin1Char('/') + name; }
    std::unique_ptr<JobDesk> m_desk;
    QTemporaryDir m_work; // outside the spool folder: the listener leaves it alone
};

void TestIntake::initTestCase()
{
    m_desk.reset(new JobDesk());
    QVERIFY(m_desk->ok());
    QVERIFY(m_work.isValid());
}

void TestIntake::cleanupTestCase()
{
    m_desk.reset();
}

void TestIntake::init()
{
    clearLog();
}

void TestIntake::takeJob(const QString &path)
{
    pc()->SpoolFile = path;
    QVERIFY(pc()->isFileComplete());
    QVERIFY(pc()->copyJobFiles());
}

void TestIntake::stemAndJobName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("job");
    QTest::newRow("pcl") << "/var/porvik/SPOOL/report.pcl"
                         << "report";
    QTest::newRow("two dots") << "/var/porvik/SPOOL/a.b.pcl"
                              << "a";
    QTest::newRow("no extension") << "/var/porvik/SPOOL/job7"
                                  << "job7";
    QTest::newRow("pcl twice") << "/var/porvik/SPOOL/a.pcl.pcl"
                               << "a";
    QTest::newRow("other extension") << "/var/porvik/SPOOL/scan.prn"
                                     << "scan";
    QTest::newRow("dot in folder") << "/tmp/x.pcl.d/job"
                                   << "x";
}

void TestIntake::stemAndJobName()
{
    QFETCH(QString, path);
    QFETCH(QString, job);
    const int known = pc()->m_jobNameList.size();
    g_spoolBusy.storeRelease(1);
    pc()->onFindFile(path); // no such file: stops at the completeness test
    // The try's own line names the job; its per-job fields, its files among
    // them, are reset on the way out.
    QVERIFY(logLines().filter(QStringLiteral(" ") + path + QStringLiteral(" ")).value(0).endsWith(" " + job));
    QCOMPARE(pc()->JobName, QString());
    QCOMPARE(pc()->SpoolStem, QString());
    QCOMPARE(pc()->SpoolFile, QString());
    QCOMPARE(pc()->RemoveFile, QString());
    QCOMPARE(pc()->XmlFile, QString());
    QCOMPARE(pc()->m_jobNameList.size(), known);
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
    QVERIFY(logContains(QStringLiteral("文件产生不完全")));
}

void TestIntake::completeness_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("message");

    const QByteArray uel = "\x1b%-12345X";
    const QByteArray job = pjlHeader(PjlJob()) + QByteArray(5000, 'p') + pjlClose();
    QTest::newRow("filter job") << job << true << "";
    QTest::newRow("line feed after the end") << job + "\n" << false << QStringLiteral("文件未写完");
    QTest::newRow("cut short") << job.left(job.size() - 1) << false << QStringLiteral("文件未写完");
    QTest::newRow("header only") << pjlHeader(PjlJob()) << false << QStringLiteral("文件正在产生");
    QTest::newRow("one line, EOJ twice") << "@PJL EOJ EOJ" + uel << false << QStringLiteral("文件正在产生");
    QTest::newRow("two EOJ lines") << "EOJ\nEOJ" + uel << true << "";
    QTest::newRow("empty") << QByteArray() << false << QStringLiteral("文件正在产生");
    // Lines longer than the read chunks, an EOJ across a chunk border.
    QByteArray longLines =
        QByteArray(65535, 'a') + "EOJ\n" + QByteArray(200000, 'b') + "EOJ\n" + QByteArray(70000, 'c') + uel;
    QTest::newRow("long lines") << longLines << true << "";
    QByteArray border = QByteArray(65534, 'a') + "EOJ\n" + "xx\n" + uel;
    QTest::newRow("EOJ across chunks, one line") << border << false << QStringLiteral("文件正在产生");
    QTest::newRow("UEL across chunks")
        << QByteArray("EOJ\nEOJ\n") + QByteArray(65536 - 8 - 4, 'q') + uel << true << "";
}

void TestIntake::completeness()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, complete);
    QFETCH(QString, message);
    const QString path = work(QStringLiteral("c.pcl"));
    QVERIFY(writeFile(path, data));
    pc()->SpoolFile = path;
    QCOMPARE(pc()->isFileComplete(), complete);
    if (!message.isEmpty())
        QVERIFY(logContains(message));
    QVERIFY(!logContains(QStringLiteral("文件产生不完全")));
}

void TestIntake::converterReadsFilterJobs_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("plain pages") << false;
    QTest::newRow("encrypted pages") << true;
}

void TestIntake::converterReadsFilterJobs()
{
    QFETCH(bool, encrypted);
    PjlJob job;
    job.encrypted = encrypted;
    job.totalSize = 300000;
    job.title = QStringLiteral("年度 plan, v2.pdf").toUtf8();
    job.user = QStringLiteral("李雷").toUtf8();
    job.host = "ws-17";
    job.queue = "192.168.1.20";
    job.deviceUri = "socket://192.168.1.20:9100";
    job.copies = 2;
    job.duplex = true;
    job.pages = 5;
    job.paperCode = 15;
    const QString path = work(QStringLiteral("conv.pcl"));
    QVERIFY(writePjlJob(path, job));
    QVERIFY(writeFile(path + ".xml", QByteArray()));
    takeJob(path);
    pc()->runPrnTool();
    QVERIFY(pc()->readPrinterInfo());

    QCOMPARE(pc()->FileName, QStringLiteral("年度 plan, v2.pdf"));
    QCOMPARE(pc()->DomainAccount, QStringLiteral("李雷"));
    QCOMPARE(pc()->ComputerName, QStringLiteral("ws-17"));
    QCOMPARE(pc()->JPrinterName, QStringLiteral("192.168.1.20"));
    QCOMPARE(pc()->PrinterAddress, QStringLiteral("192.168.1.20"));
    QCOMPARE(pc()->PortName, QStringLiteral("socket://192.168.1.20:9100"));
    QCOMPARE(pc()->Copies, 2);
    QCOMPARE(pc()->Duplex, 1);
    QCOMPARE(pc()->Pages, 5);
    QCOMPARE(pc()->PaperSize, 15);
    QCOMPARE(pc()->ProcessedFileName, QStringLiteral("conv.pcl"));
    QCOMPARE(pc()->ProcessedFileSize, QString::number(QFileInfo(path).size()));
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                .match(pc()->ProcessedFileTime)
                .hasMatch());
    QCOMPARE(pc()->DriverName, QStringLiteral("Porvik-Jyx(30)"));
    QCOMPARE(pc()->JobLabel, path);
}

void TestIntake::converterOnOtherFiles()
{
    const QString path = work(QStringLiteral("plain.pcl"));
    QVERIFY(writeFile(path, kOtherJob));
    QVERIFY(writeFile(path + ".xml", QByteArray()));
    takeJob(path);
    pc()->runPrnTool();
    const QString xml = QString::fromUtf8(readFile(pc()->XmlFile));
    for (const char *tag : {"JPrinterName", "FileName", "DomainAccount", "ComputerName", "PortName"})
        QVERIFY2(xml.contains(QStringLiteral("<%1></%1>").arg(tag)), tag);
    for (const char *tag : {"Copies", "Pages", "Duplex", "PaperSize", "ProcessedFileSize"})
        QVERIFY2(xml.contains(QStringLiteral("<%1>0</%1>").arg(tag)), tag);
    QVERIFY(pc()->readPrinterInfo());
    QCOMPARE(pc()->Pages, 0);
    QCOMPARE(pc()->JPrinterName, QString());
}

// The converter runs in the session of whichever member holds the lock: one
// that another user owns or may write would run their code as that member.
void TestIntake::converterOthersCouldHaveWritten_data()
{
    QTest::addColumn<int>("owner"); // -1: the test's own user
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("runs");
    QTest::newRow("our own, 0755") << -1 << 0755 << true;
    QTest::newRow("writable by the group") << -1 << 0775 << false;
    QTest::newRow("writable by everyone") << -1 << 0757 << false;
    QTest::newRow("another user's") << 4321 << 0755 << false;
}

void TestIntake::converterOthersCouldHaveWritten()
{
    QFETCH(int, owner);
    QFETCH(int, mode);
    QFETCH(bool, runs);
    const QString tool = paths::pruvoTool();
    QVERIFY(chmod(QFile::encodeName(tool).constData(), mode_t(mode)) == 0);
    if (owner >= 0)
        QVERIFY(chown(QFile::encodeName(tool).constData(), uid_t(owner), gid_t(-1)) == 0);
    const QString path = work(QStringLiteral("tool.pcl"));
    QVERIFY(writeFile(path, kOtherJob));
    QVERIFY(writeFile(path + ".xml", QByteArray()));
    takeJob(path);
    pc()->runPrnTool();
    m_desk->setConverterInstalled(true);
    QCOMPARE(!readFile(pc()->XmlFile).isEmpty(), runs);
    QCOMPARE(logContains(QStringLiteral("converter tool refused:")), !runs);
}

void TestIntake::printerInformationByTagMarks_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("copies");
    QTest::addColumn<QString>("fileTime");

    QTest::newRow("plain") << QByteArray("<FileName>a.pdf</FileName><Copies>3</Copies>"
                                         "<ProcessedFileTime>2026/12/10 09:00:00</ProcessedFileTime>")
                           << "a.pdf" << 3 << "2026-12-10 09:00:00";
    QTest::newRow("not parsed as XML")
        << QByteArray("<x><FileName>&lt;b</FileName><Copies> 7x</Copies>") << "&lt;b" << 0 << "";
    QTest::newRow("first mark counts")
        << QByteArray("<Copies>2</Copies><Copies>9</Copies><FileName>one</FileName><FileName>two</FileName>")
        << "one" << 2 << "";
    QTest::newRow("no closing mark") << QByteArray("<FileName>rest of it") << "rest of it" << 0 << "";
    QTest::newRow("stops at a second opening mark")
        << QByteArray("<FileName>a<FileName>b</FileName>") << "a" << 0 << "";
    QTest::newRow("zero byte ends the text")
        << QByteArray("<Copies>4</Copies>\0<FileName>hidden</FileName>", 44) << "" << 4 << "";
    QTest::newRow("negative copies") << QByteArray("<Copies>-2</Copies>") << "" << -2 << "";
    QTest::newRow("empty file") << QByteArray() << "" << 0 << "";
}

void TestIntake::printerInformationByTagMarks()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, fileName);
    QFETCH(int, copies);
    QFETCH(QString, fileTime);
    const QString path = work(QStringLiteral("info.pcl"));
    QVERIFY(writeFile(path + ".xml", xml));
    pc()->SpoolFile = path;
    pc()->XmlFile = path + ".xml";
    QVERIFY(pc()->readPrinterInfo());
    QCOMPARE(pc()->FileName, fileName);
    QCOMPARE(pc()->Copies, copies);
    QCOMPARE(pc()->ProcessedFileTime, fileTime);
    QCOMPARE(pc()->ProcessedFileName, QStringLiteral("info.pcl"));

    QFile::remove(path + ".xml");
    QVERIFY(!pc()->readPrinterInfo());
    QVERIFY(logContains(QStringLiteral("file is Empty")));
}

void TestIntake::hostInterfacePerJob()
{
    int expected = 0;
    for (const QNetworkInterface &nic : QNetworkInterface::allInterfaces()) {
        const auto f = nic.flags();
        if ((f & QNetworkInterface::IsUp) && (f & QNetworkInterface::IsRunning) &&
            !(f & QNetworkInterface::IsLoopBack))
            for (const QNetworkAddressEntry &e : nic.addressEntries())
                expected += e.ip().protocol() == QAbstractSocket::IPv4Protocol;
    }
    const QString path = work(QStringLiteral("host.pcl"));
    for (int round = 0; round < 2; ++round) {
        QVERIFY(writeFile(path + ".xml", QByteArray()));
        pc()->SpoolFile = pc()->RemoveFile = path;
        pc()->XmlFile = path + ".xml";
        QVERIFY(pc()->readPrinterInfo());
        const QStringList entries = pc()->HostInterface.split(';', Qt::SkipEmptyParts);
        QCOMPARE(entries.size(), expected);
        for (const QString &e : entries)
            QVERIFY2(QRegularExpression("^\\d+\\.\\d+\\.\\d+\\.\\d+/[0-9A-F:]*$").match(e).hasMatch(),
                     qPrintable(e));
        if (expected > 0)
            QCOMPARE(pc()->IPAddr, entries.last().section('/', 0, 0));
        pc()->clearStatus(); // the next job starts without the last one's address
        QCOMPARE(pc()->IPAddr, QString());
    }
}

void TestIntake::ticketFile()
{
    const QString path = work(QStringLiteral("t.pcl"));
    pc()->clearStatus();
    pc()->SpoolFile = pc()->RemoveFile = path;
    pc()->XmlFile = path + ".xml";
    QVERIFY(writeFile(path + ".xml", QByteArray()));
    QVERIFY(pc()->readPrinterInfo()); // no tags: every field empty or zero
    pc()->JobName = QStringLiteral("t");
    pc()->FileName = QStringLiteral("R&D <plan> \"Q4\" 报告");
    pc()->IPAddr = QStringLiteral("10.0.0.5");
    // A file made anew, with the mode the umask gives (group-writable for the
    // group's other members), never the private mode of a temporary file.
    QVERIFY(QFile::setPermissions(path + ".xml", QFile::ReadOwner | QFile::WriteOwner));
    const mode_t mask = ::umask(002);
    pc()->writeJobTicket();
    ::umask(mask);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path + ".xml").constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0664));
    const QByteArray expected =
        QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Attribute>\n"
            " <UserID></UserID>\n <JobID>t</JobID>\n <IPAddr>10.0.0.5</IPAddr>\n <WorkGroup></WorkGroup>\n"
            " <ComputerName></ComputerName>\n <Domain></Domain>\n <DomainAccount></DomainAccount>\n"
            " <PrintServer></PrintServer>\n <PrintServerAccount></PrintServerAccount>\n "
            "<JPrinterName></JPrinterName>\n"
            " <DriverName>Porvik-Jyx(30)</DriverName>\n <PortName></PortName>\n"
            " <FileName>R&amp;D &lt;plan> \"Q4\" 报告</FileName>\n <PaperSize>0</PaperSize>\n "
            "<Pages>0</Pages>\n"
            " <Copies>0</Copies>\n <Duplex>0</Duplex>\n <Color></Color>\n <Collate></Collate>\n"
            " <ProcessedFileName>t.pcl</ProcessedFileName>\n <ProcessedFileSize></ProcessedFileSize>\n"
            " <ProcessedFileTime></ProcessedFileTime>\n <CheckBit></CheckBit>\n"
            "</Attribute>\n\n")
            .toUtf8();
    QCOMPARE(readFile(path + ".xml"), expected);

    // A companion that cannot be written leaves nothing behind and goes on.
    pc()->XmlFile = work(QStringLiteral("missing-dir/t.pcl.xml"));
    pc()->writeJobTicket();
    QVERIFY(!QFile::exists(pc()->XmlFile));
}

void TestIntake::jobLogUpdateFindsFirstRecord()
{
    pc()->clearStatus();
    pc()->JPrinterName = QStringLiteral("10.9.8.7");
    pc()->FileName = QStringLiteral("first");
    pc()->JobName = QStringLiteral("twice");
    pc()->Pages = 2;
    pc()->Copies = 3;
    pc()->insertJobRecord();
    pc()->FileName = QStringLiteral("second");
    pc()->insertJobRecord();
    pc()->updateJobRecord(QStringLiteral("unknown"), QStringLiteral("打印完成"));
    pc()->updateJobRecord(QStringLiteral("twice"), QStringLiteral("用户取消"));

    QMap<QString, QString> info;
    for (const auto &row : m_desk->jobLogRows(QStringLiteral("10.9.8.7")))
        info[row["JobName"]] = row["JobInfo"] + "/" + row["Result"] + "/" + row["ActualTotalPages"];
    QCOMPARE(info.value("first"), QStringLiteral("用户取消/1/6"));
    QCOMPARE(info.value("second"), QStringLiteral("待打印/-1/6"));
    pc()->clearStatus();
}

void TestIntake::printerNameThatIsNoPlainName_data()
{
    QTest::addColumn<QString>("printer");
    QTest::newRow("none") << ""; // the companion names no printer
    QTest::newRow("parent folder") << "../escape";
    QTest::newRow("up into the install folder") << "../../INSTALL/Log";
    QTest::newRow("sub folder") << "a/b";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("dot") << ".";
    QTest::newRow("backslash") << "a\\b";
    QTest::newRow("port") << "127.0.0.2:8080";
    QTest::newRow("user info") << "evil@127.0.0.2";
    QTest::newRow("path in host") << "127.0.0.2/x?y#z";
    QTest::newRow("blank") << "queue name";
    QTest::newRow("chinese") << QStringLiteral("打印机");
}

// A printer name from the converter that is no plain queue name or address
// is refused before it names a folder or a host: no job log anywhere, no
// ticket, no upload, the spool files stay, and the next file may come.
void TestIntake::printerNameThatIsNoPlainName()
{
    QFETCH(QString, printer);
    static int n = 0;
    const QString path = work(QStringLiteral("named%1.pcl").arg(++n));
    PjlJob job;
    job.queue = printer.toUtf8();
    QVERIFY(writePjlJob(path, job));
    QVERIFY(writeFile(path + ".xml", QByteArray()));
    const QStringList before = tree(m_desk->root());
    const int known = pc()->m_jobNameList.size();
    const int watched = pc()->m_jobWatchList.size();

    g_spoolBusy.storeRelease(1);
    pc()->onFindFile(path);

    // The converter did pass the name on; the refusal leaves no field of it behind.
    QVERIFY(logLines().contains(QStringLiteral("printer name refused: ") + printer));
    QCOMPARE(pc()->JPrinterName, QString());
    QCOMPARE(pc()->IPAddr, QString());
    QCOMPARE(g_spoolBusy.loadAcquire(), 0);
    QCOMPARE(pc()->m_jobNameList.size(), known);
    QCOMPARE(pc()->m_jobWatchList.size(), watched);
    QVERIFY(!logContains(QStringLiteral("sendXml:")));
    QVERIFY(!logContains(QStringLiteral("--------clear status")));
    QCOMPARE(tree(m_desk->root()), before);
    QVERIFY(QFile::exists(path));
    QVERIFY(!readFile(path + ".xml").contains("<Attribute>")); // not rewritten as a ticket
}

QTEST_MAIN(TestIntake)
#include "tst_intake.moc"
