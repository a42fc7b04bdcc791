// The SQLite job log: table creation, the insert with every value bound,
// the end-of-job update and the comma-separated export.
#include "jobdesk.h"
#include "joblogdb.h"
#include "joblogschema.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace testjob;

namespace
{

const QByteArray kHeader =
    "GUID,JobType,JobName,UserName,CNName,DepName,Barcode,BarcodeText,DirectionName,SecLevelName,UseName,"
    "CreateTime,JobDoneTime,Comment,PageCount,Copies,ActualTotalPages,Color,MediaType,Duplex,DeviceName,"
    "DeviceIP,DeviceID,ClientIP,ClientName,Result,JobInfo \r\n";

JobRecord record(const QString &name)
{
    JobRecord r;
    r.jobName = QStringLiteral("job");
    r.JobType = "1";
    r.JobName = name;
    r.UserName = r.CNName = r.ClientName = QStringLiteral("张伟");
    r.CreateTime = "20261210 10:00:00";
    r.PageCount = "2";
    r.Copies = "3";
    r.ActualTotalPages = "6";
    r.Color = "0";
    r.MediaType = "2";
    r.Duplex = "0";
    r.DeviceName = r.DeviceIP = r.DeviceID = "192.168.1.20";
    r.ClientIP = "10.0.0.5";
    r.Result = "-1";
    r.JobInfo = QStringLiteral("待打印");
    return r; // DepName, Barcode, ... stay null strings, as the controller leaves them
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs one query on its own connection and returns the first column of every row.
QStringList column(const QString &dbPath, const QString &sql)
{
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql))
                while (q.next())
                    out << (q.value(0).isNull() ? QStringLiteral("<NULL>") : q.value(0).toString());
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("check");
    return out;
}

} // namespace

class TestJobLogDb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void firstInsertCreatesFileAndTable();
    void valuesAreStoredAsTheyAre_data();
    void valuesAreStoredAsTheyAre();
    void updateWritesTheJobsEnd();
    void exportWritesCommaSeparatedLines();
    void failuresAreReportedByResult();
    void printerNames_data();
    void printerNames();
    void linksPlantedAtTheJobLog_data();
    void linksPlantedAtTheJobLog();

private:
    QTemporaryDir m_dir;
    QString m_db;
};

void TestJobLogDb::initTestCase()
{
    installLogCapture();
    QVERIFY(m_dir.isValid());
}

void TestJobLogDb::init()
{
    clearLog();
    m_db = m_dir.path() + "/data/" + QString::number(QDateTime::currentMSecsSinceEpoch()) + "/porvikdb.dll";
}

void TestJobLogDb::firstInsertCreatesFileAndTable()
{
    const QString guid = JobLogDb().insertJob(m_db, record("a.pdf"));
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                .match(guid)
                .hasMatch());
    QVERIFY(!logContains("Succeed to connect database."));
    // SQLite keeps the statement as given, only the two leading keywords upper-cased.
    QCOMPARE(column(m_db, "SELECT sql FROM sqlite_master WHERE name='R_JobInfo'"),
             QStringList("CREATE TABLE" + QString(kCreate).mid(12)));

    const QString second = JobLogDb().insertJob(m_db, record("b.pdf"));
    QVERIFY(!second.isEmpty() && second != guid);
    QVERIFY(logContains("Succeed to connect database."));
    QCOMPARE(column(m_db, "SELECT GUID FROM R_JobInfo ORDER BY rowid"), QStringList({guid, second}));
    // Null fields go in as empty text, not as NULL.
    QCOMPARE(column(m_db, "SELECT DepName FROM R_JobInfo"), QStringList({"", ""}));
}

void TestJobLogDb::valuesAreStoredAsTheyAre_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("quote") << "it's";
    QTest::newRow("statement") << "x'); DROP TABLE R_JobInfo; --";
    QTest::newRow("placeholders") << "%1 %10 %27";
    QTest::newRow("comma and line break") << "a,b\nc";
    QTest::newRow("chinese") << QStringLiteral("季度报告");
    QTest::newRow("empty") << "";
}

void TestJobLogDb::valuesAreStoredAsTheyAre()
{
    QFETCH(QString, name);
    JobRecord r = record(name);
    r.Comment = name;
    const QString guid = JobLogDb().insertJob(m_db, r);
    QVERIFY(!guid.isEmpty());
    QCOMPARE(column(m_db, "SELECT JobName FROM R_JobInfo"), QStringList(name));
    QCOMPARE(column(m_db, "SELECT Comment FROM R_JobInfo"), QStringList(name));
    QCOMPARE(column(m_db, "SELECT UserName FROM R_JobInfo"), QStringList(QStringLiteral("张伟")));
    QCOMPARE(column(m_db, "SELECT count(*) FROM R_JobInfo"), QStringList("1"));
}

void TestJobLogDb::updateWritesTheJobsEnd()
{
    JobRecord r = record("a.pdf");
    r.GUID = JobLogDb().insertJob(m_db, r);
    JobRecord other = record("b.pdf");
    other.GUID = JobLogDb().insertJob(m_db, other);

    r.Result = "1";
    r.JobInfo = QStringLiteral("用户取消");
    r.JobDoneTime = "20261210 10:05:00";
    r.CreateTime = "changed here but not written";
    QVERIFY(JobLogDb().updateJobResult(m_db, r));
    QCOMPARE(
        column(
            m_db,
            "SELECT JobDoneTime||'/'||Result||'/'||JobInfo||'/'||CreateTime FROM R_JobInfo ORDER BY rowid"),
        QStringList({QStringLiteral("20261210 10:05:00/1/用户取消/20261210 10:00:00"),
                     QStringLiteral("/-1/待打印/20261210 10:00:00")}));

    // An empty GUID (a failed insert) matches no row.
    JobRecord lost = r;
    lost.GUID.clear();
    lost.JobInfo = QStringLiteral("打印失败");
    QVERIFY(JobLogDb().updateJobResult(m_db, lost));
    QCOMPARE(column(m_db, "SELECT count(*) FROM R_JobInfo WHERE JobInfo='打印失败'"), QStringList("0"));
}

void TestJobLogDb::exportWritesCommaSeparatedLines()
{
    const QString out = m_dir.path() + "/export.txt";
    QVERIFY(JobLogDb().insertJob(m_db, record("x")).size() == 36);
    JobRecord r = record("a,b");
    const QString guid = JobLogDb().insertJob(m_db, r);
    QFile(out).open(QIODevice::WriteOnly); // an older export is replaced
    QVERIFY(JobLogDb().exportToText(m_db, out));
    const QByteArray text = readFile(out);
    QVERIFY(text.startsWith(kHeader));
    const QList<QByteArray> lines = text.mid(kHeader.size()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.last().isEmpty());
    const QByteArray expected = guid.toLatin1() + ",1,a,b," + QStringLiteral("张伟,张伟").toUtf8() +
                                ",,,,,,,20261210 10:00:00,,,2,3,6,0,2,0,192.168.1.20,192.168.1.20,"
                                "192.168.1.20,10.0.0.5," +
                                QStringLiteral("张伟,-1,待打印").toUtf8() + "\r";
    QCOMPARE(lines.at(1), expected);
    QVERIFY(lines.at(0).endsWith('\r'));

    // A database without rows gives the header alone.
    const QString empty = m_dir.path() + "/empty/porvikdb.dll";
    QVERIFY(!JobLogDb().insertJob(empty, record("y")).isEmpty());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "wipe");
        db.setDatabaseName(empty);
        QVERIFY(db.open());
        QSqlQuery(db).exec("DELETE FROM R_JobInfo");
        db.close();
    }
    QSqlDatabase::removeDatabase("wipe");
    QVERIFY(JobLogDb().exportToText(empty, out));
    QCOMPARE(readFile(out), kHeader);
}

void TestJobLogDb::failuresAreReportedByResult()
{
    // A file that is no database: the insert fails and says so.
    const QString junk = m_dir.path() + "/junk.dll";
    {
        QFile f(junk);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'j'));
    }
    QCOMPARE(JobLogDb().insertJob(junk, record("a")), QString());
    QVERIFY(logContains("Error: Failed to create table."));

    // No folder: nothing opens and no export file appears.
    clearLog();
    const QString out = m_dir.path() + "/never.txt";
    QVERIFY(!JobLogDb().exportToText(m_dir.path() + "/nowhere/porvikdb.dll", out));
    QVERIFY(logContains("Error: Failed to connect database."));
    QVERIFY(!QFile::exists(out));
    QVERIFY(!JobLogDb().updateJobResult(m_dir.path() + "/nowhere/porvikdb.dll", record("a")));

    // An export path that cannot be written.
    clearLog();
    QVERIFY(!JobLogDb().insertJob(m_db, record("a")).isEmpty());
    QVERIFY(!JobLogDb().exportToText(m_db, m_dir.path() + "/no/such/dir/out.txt"));
    QVERIFY(logContains("Error: Failed to create text file."));
}

void TestJobLogDb::printerNames_data()
{
    QTest::addColumn<QString>("printer");
    QTest::addColumn<bool>("usable");
    QTest::newRow("address") << "192.168.1.20" << true;
    QTest::newRow("loopback") << "127.0.0.2" << true;
    QTest::newRow("queue name") << "Office_2-east.lan" << true;
    QTest::newRow("none") << "" << false;
    QTest::newRow("parent folder") << "../x" << false;
    QTest::newRow("sub folder") << "a/b" << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("port") << "host:80" << false;
    QTest::newRow("line break") << "a\nb" << false;
    QTest::newRow("chinese") << QStringLiteral("打印机") << false;
}

// The job log takes only a plain printer name, whoever calls it.
void TestJobLogDb::printerNames()
{
    QFETCH(QString, printer);
    QFETCH(bool, usable);
    JobRecord r = record("a.pdf");
    r.DeviceName = r.DeviceIP = r.DeviceID = printer;
    r.GUID = JobLogDb().insertJob(m_db, r);
    QCOMPARE(!r.GUID.isEmpty(), usable);
    QCOMPARE(QFile::exists(m_db), usable);
    r.JobInfo = QStringLiteral("打印完成");
    QCOMPARE(JobLogDb().updateJobResult(m_db, r), usable);
    QCOMPARE(logContains("printer name refused:"), !usable);
    if (usable)
        QCOMPARE(column(m_db, "SELECT DeviceIP||'/'||JobInfo FROM R_JobInfo"),
                 QStringList(printer + QStringLiteral("/打印完成")));
}

QTEST_MAIN(TestJobLogDb)
#include "tst_joblogdb.moc"

// The job logs' folders are shared by the group: a link another member plants
// at a job log or at its folder must not make this job desk write through it
// into a file or folder of its own user's.
void TestJobLogDb::linksPlantedAtTheJobLog_data()
{
    QTest::addColumn<bool>("atFolder"); // else at the job log itself
    QTest::newRow("job log") << false;
    QTest::newRow("printer's folder") << true;
}

void TestJobLogDb::linksPlantedAtTheJobLog()
{
    QFETCH(bool, atFolder);
    const QString tag = atFolder ? "folder" : "file";
    const QString folder = m_dir.path() + "/data/planted-" + tag;
    const QString db = folder + "/porvikdb.dll";
    const QString own = m_dir.path() + "/own-" + tag;
    QVERIFY(QDir().mkpath(own));
    const QString notes = own + "/notes.txt";
    QVERIFY(QFile(notes).open(QIODevice::WriteOnly)); // empty: SQLite would take it for a new database
    if (atFolder) {
        QVERIFY(QDir().mkpath(QFileInfo(folder).absolutePath()));
        QVERIFY(QFile::link(own, folder));
    } else {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(notes, db));
    }

    QVERIFY(JobLogDb().insertJob(db, record("a.pdf")).isEmpty());
    QCOMPARE(readFile(notes), QByteArray());
    QCOMPARE(QDir(own).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList("notes.txt"));
    QVERIFY(logContains("Error: Failed to connect database."));
    // Nor the end of a job, nor an export.
    QVERIFY(!JobLogDb().updateJobResult(db, record("a.pdf")));
    QVERIFY(!JobLogDb().exportToText(db, m_dir.path() + "/export.txt"));
    QCOMPARE(readFile(notes), QByteArray());
}
