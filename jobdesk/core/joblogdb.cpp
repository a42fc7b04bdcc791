#include "joblogdb.h"

#include "joblogvfs.h"
#include "printername.h"
#include "textcipher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QUuid>
#include <QVariant>

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

// Job logs whose last insert or update failed: one that cannot be used is
// reported once, not for every job, until it works again.
QSet<QString> &unusableJobLogs()
{
    static QSet<QString> paths;
    return paths;
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

} // namespace

JobLogDb::JobLogDb()
{
    // The previous operation's JobLogDb is gone; dropping its registration
    // first replaces it without Qt's duplicate-connection warning.
    if (QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)))
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    m_db.setPassword(QString::fromLatin1(kCipherKeyText));
    // A URI names the job log in its checked folder and the VFS that keeps to it.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_REMOVE_KEY;QSQLITE_OPEN_URI"));
}

JobLogDb::~JobLogDb()
{
    close();
}

void JobLogDb::close()
{
    // SQLite works in the folder by its descriptor's number: closed first.
    if (m_db.isOpen())
        m_db.close();
    m_folder.reset();
}

QDebug JobLogDb::log()
{
    return m_quiet ? QDebug(&m_unreported) : qDebug();
}

bool JobLogDb::open(const QString &dbPath, bool create)
{
    close();
    m_folder.reset(new joblogvfs::Folder(dbPath, create));
    if (!m_folder->isOpen()) {
        log().noquote() << "Error: Failed to connect database." << "no job log folder:" << dbPath;
        return false;
    }
    const joblogvfs::Folder::Entry entry = m_folder->entry();
    if (entry == joblogvfs::Folder::Entry::Other) {
        log().noquote() << "Error: Failed to connect database." << "job log is no plain file:" << dbPath;
        return false;
    }
    m_existed = entry == joblogvfs::Folder::Entry::Regular;
    m_db.setDatabaseName(m_folder->databaseName());
    if (!m_db.open()) {
        log() << "Error: Failed to connect database." << m_db.lastError();
        return false;
    }
    return true;
}

QString JobLogDb::insertJob(const QString &dbPath, const JobRecord &record)
{
    if (printerRefused(record))
        return QString();
    m_quiet = unusableJobLogs().contains(dbPath);
    const QString guid = insert(dbPath, record);
    if (guid.isEmpty())
        unusableJobLogs().insert(dbPath);
    else
        unusableJobLogs().remove(dbPath);
    return guid;
}

QString JobLogDb::insert(const QString &dbPath, const JobRecord &record)
{
    // What holds the printers' folders: "/var/porvik/data/".
    QDir().mkpath(QFileInfo(QFileInfo(dbPath).absolutePath()).absolutePath());
    if (!open(dbPath, true))
        return QString();
    if (m_existed)
        qDebug() << "Succeed to connect database.";
    // Also for a file that is there without the table (emptied while a job
    // ran, or left by a crash or a full disk): else no job would be logged again.
    if (!m_existed || !m_db.tables().contains(QStringLiteral("R_JobInfo"), Qt::CaseInsensitive)) {
        QSqlQuery create(m_db);
        if (!create.exec(QLatin1String(kCreateTable))) {
            log() << "Error: Failed to create table." << create.lastError();
            return QString();
        }
    }

    QString guid = QUuid::createUuid().toString();
    guid.remove(QLatin1Char('{')).remove(QLatin1Char('}'));

    QSqlQuery query(m_db);
    // A failed prepare (no table, say) is reported with its own error.
    if (!query.prepare(QLatin1String(kInsert))) {
        log() << query.lastError();
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
        log() << query.lastError();
        return QString();
    }
    return guid;
}

bool JobLogDb::updateJobResult(const QString &dbPath, const JobRecord &record)
{
    if (printerRefused(record))
        return false;
    m_quiet = unusableJobLogs().contains(dbPath);
    const bool ok = update(dbPath, record);
    if (ok)
        unusableJobLogs().remove(dbPath);
    else
        unusableJobLogs().insert(dbPath);
    return ok;
}

bool JobLogDb::update(const QString &dbPath, const JobRecord &record)
{
    if (!open(dbPath, false))
        return false;
    qDebug() << "Succeed to connect database.";
    QSqlQuery query(m_db);
    if (!query.prepare(QLatin1String(kUpdate))) {
        log() << query.lastError();
        return false;
    }
    query.addBindValue(text(record.JobDoneTime));
    query.addBindValue(text(record.Result));
    query.addBindValue(text(record.JobInfo));
    query.addBindValue(text(record.GUID));
    const bool ok = query.exec();
    if (!ok)
        log() << query.lastError();
    return ok;
}

bool JobLogDb::exportToText(const QString &dbPath, const QString &outPath)
{
    m_quiet = false;
    if (!open(dbPath, false))
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
