#include "joblogdb.h"

#include "printername.h"
#include "spoolfiles.h"
#include "textcipher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QUuid>
#include <QVariant>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kCreateTable[] =
    "create table R_JobInfo(GUID VARCHAR(64) PRIMARY KEY, JobType INTEGER NOT NULL,JobName VARCHAR(64) NOT NULL,"
    "UserName VARCHAR(64),CNName VARCHAR(64),DepName VARCHAR(64),Barcode VARCHAR(64),BarcodeText VARCHAR(64),"
    "DirectionName VARCHAR(64),SecLevelName VARCHAR(64),UseName VARCHAR(64),CreateTime VARCHAR(64),"
    "JobDoneTime VARCHAR(64),Comment VARCHAR(64),PageCount INTEGER,Copies INTEGER,ActualTotalPages INTEGER,"
    "Color INTEGER,MediaType VARCHAR(64),Duplex INTEGER,DeviceName VARCHAR(64),DeviceIP VARCHAR(64),"
    "DeviceID VARCHAR(64),ClientIP VARCHAR(64),ClientName VARCHAR(64),Result VARCHAR(64),JobInfo VARCHAR(64))";

const char kInsert[] =
    "INSERT INTO [R_JobInfo] ([GUID],[JobType],[JobName],[UserName],[CNName],[DepName],[Barcode],[BarcodeText],"
    "[DirectionName],[SecLevelName],[UseName],[CreateTime],[JobDoneTime],[Comment],[PageCount],[Copies],"
    "[ActualTotalPages],[Color],[MediaType],[Duplex],[DeviceName],[DeviceIP],[DeviceID],[ClientIP],[ClientName],"
    "[Result],[JobInfo]) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

const char kUpdate[] = "UPDATE [R_JobInfo] SET [JobDoneTime]=?,[Result]=?,[JobInfo]=? WHERE GUID=?";

const char kHeader[] =
    "GUID,JobType,JobName,UserName,CNName,DepName,Barcode,BarcodeText,DirectionName,SecLevelName,UseName,"
    "CreateTime,JobDoneTime,Comment,PageCount,Copies,ActualTotalPages,Color,MediaType,Duplex,DeviceName,"
    "DeviceIP,DeviceID,ClientIP,ClientName,Result,JobInfo \r\n";

// Bound as text; a null string would be stored as NULL and break NOT NULL.
QVariant text(const QString &value)
{
    return QVariant(value.isNull() ? QStringLiteral("") : value);
}

// Any member may put entries into the job logs' folders: the job log and its
// folder are used only when they are what they say, a regular file (or none
// yet) in a real folder, never a link to somewhere of this user's.
bool plainJobLogPath(const QString &dbPath)
{
    // Missing is fine: it is made as a folder or file of this job desk's own.
    using spoolfiles::Entry;
    const Entry folder = spoolfiles::entryAt(QFileInfo(dbPath).absolutePath());
    const Entry file = spoolfiles::entryAt(dbPath);
    if ((folder == Entry::Missing || folder == Entry::Folder) &&
        (file == Entry::Missing || file == Entry::Regular))
        return true;
    qDebug().noquote() << "Error: Failed to connect database."
                       << "job log or its folder is no plain entry:" << dbPath;
    return false;
}

bool openDb(QSqlDatabase &db, const QString &dbPath)
{
    if (!plainJobLogPath(dbPath))
        return false;
    db.setDatabaseName(dbPath);
    if (!db.open()) {
        qDebug() << "Error: Failed to connect database." << db.lastError();
        return false;
    }
    return true;
}

// The job log's folder is named after the record's printer; a name that is
// not a plain queue name or address must not reach the file system.
bool printerRefused(const JobRecord &record)
{
    if (printerNameUsable(record.DeviceIP))
        return false;
    qDebug().noquote() << "Error: printer name refused:" << record.DeviceIP;
    return true;
}

// SQLite makes a new database file 0644 whatever the umask; made here first,
// empty (which SQLite takes as a new database), it is for the group too.
void createJobLogFile(const QString &dbPath)
{
    const int fd = ::open(QFile::encodeName(dbPath).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0)
        return; // made meanwhile, or not makeable: the open below reports it
    ::fchmod(fd, 0660);
    ::close(fd);
}

} // namespace

bool makeJobLogFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0770) != 0)
        return errno == EEXIST;
    // Through a descriptor, and only while it is ours: the data folder is the
    // group's, so another member may have put a link in its place meanwhile.
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid())
        ::fchmod(fd, 02770);
    ::close(fd);
    return true;
}

JobLogDb::JobLogDb()
{
    // The previous operation's JobLogDb is gone; dropping its registration
    // first replaces it without Qt's duplicate-connection warning.
    if (QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)))
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    m_db.setPassword(QString::fromLatin1(kCipherKeyText));
    m_db.setConnectOptions(QStringLiteral("QSQLITE_REMOVE_KEY"));
}

QString JobLogDb::insertJob(const QString &dbPath, const JobRecord &record)
{
    if (printerRefused(record) || !plainJobLogPath(dbPath))
        return QString();
    const bool existed = QFile::exists(dbPath);
    // The folder that holds a new file: "/var/porvik/data/" + queue name.
    if (!existed) {
        const QString folder = QFileInfo(dbPath).absolutePath();
        QDir().mkpath(QFileInfo(folder).absolutePath());
        makeJobLogFolder(folder);
        createJobLogFile(dbPath);
    }
    if (!openDb(m_db, dbPath))
        return QString();
    if (existed)
        qDebug() << "Succeed to connect database.";
    // Also for a file that is there without the table (emptied while a job
    // ran, or left by a crash or a full disk): else no job would be logged again.
    if (!existed || !m_db.tables().contains(QStringLiteral("R_JobInfo"), Qt::CaseInsensitive)) {
        QSqlQuery create(m_db);
        if (!create.exec(QLatin1String(kCreateTable))) {
            qDebug() << "Error: Failed to create table." << create.lastError();
            return QString();
        }
    }

    QString guid = QUuid::createUuid().toString();
    guid.remove(QLatin1Char('{')).remove(QLatin1Char('}'));

    QSqlQuery query(m_db);
    // A failed prepare (no table, say) is reported with its own error.
    if (!query.prepare(QLatin1String(kInsert))) {
        qDebug() << query.lastError();
        return QString();
    }
    const QString values[] = {
        guid, record.JobType, record.JobName, record.UserName, record.CNName, record.DepName,
        record.Barcode, record.BarcodeText, record.DirectionName, record.SecLevelName, record.UseName,
        record.CreateTime, record.JobDoneTime, record.Comment, record.PageCount, record.Copies,
        record.ActualTotalPages, record.Color, record.MediaType, record.Duplex, record.DeviceName,
        record.DeviceIP, record.DeviceID, record.ClientIP, record.ClientName, record.Result, record.JobInfo,
    };
    for (const QString &v : values)
        query.addBindValue(text(v));
    if (!query.exec()) {
        qDebug() << query.lastError();
        return QString();
    }
    return guid;
}

bool JobLogDb::updateJobResult(const QString &dbPath, const JobRecord &record)
{
    if (printerRefused(record))
        return false;
    if (!openDb(m_db, dbPath))
        return false;
    qDebug() << "Succeed to connect database.";
    QSqlQuery query(m_db);
    if (!query.prepare(QLatin1String(kUpdate))) {
        qDebug() << query.lastError();
        return false;
    }
    query.addBindValue(text(record.JobDoneTime));
    query.addBindValue(text(record.Result));
    query.addBindValue(text(record.JobInfo));
    query.addBindValue(text(record.GUID));
    const bool ok = query.exec();
    if (!ok)
        qDebug() << query.lastError();
    return ok;
}

bool JobLogDb::exportToText(const QString &dbPath, const QString &outPath)
{
    if (!openDb(m_db, dbPath))
        return false;
    qDebug() << "Succeed to connect database.";
    QFile file(outPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "Error: Failed to create text file.";
        return false;
    }
    QTextStream out(&file);
    out << kHeader;
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT * FROM [R_JobInfo]"))) {
        qDebug() << query.lastError();
        out.flush();
        return false;
    }
    while (query.next()) {
        QStringList row;
        for (int i = 0; i < 27; ++i)
            row << query.value(i).toString();
        out << row.join(QLatin1Char(',')) << "\r\n";
    }
    out.flush();
    file.close();
    return true;
}
