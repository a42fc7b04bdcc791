// SQLite job log, one database per printer, table R_JobInfo.
#pragma once

#include <QDebug>
#include <QSqlDatabase>
#include <QString>

#include <memory>

namespace joblogvfs
{
class Folder;
}

struct JobRecord
{
    QString jobName;
    QString GUID;
    QString JobType;
    QString JobName;
    QString UserName;
    QString CNName;
    QString DepName;
    QString Barcode;
    QString BarcodeText;
    QString DirectionName;
    QString SecLevelName;
    QString UseName;
    QString CreateTime;
    QString JobDoneTime;
    QString Comment;
    QString PageCount;
    QString Copies;
    QString ActualTotalPages;
    QString Color;
    QString MediaType;
    QString Duplex;
    QString DeviceName;
    QString DeviceIP;
    QString DeviceID;
    QString ClientIP;
    QString ClientName;
    QString Result;
    QString JobInfo;
};

class JobLogDb
{
public:
    JobLogDb();
    ~JobLogDb();

    QString insertJob(const QString &dbPath, const JobRecord &record);
    bool updateJobResult(const QString &dbPath, const JobRecord &record);
    bool exportToText(const QString &dbPath, const QString &outPath);

private:
    QString insert(const QString &dbPath, const JobRecord &record);
    bool update(const QString &dbPath, const JobRecord &record);
    // Opens the job log through its folder's descriptor; create makes a
    // missing folder. m_existed tells whether the file was there before.
    bool open(const QString &dbPath, bool create);
    void close();
    // Where a failure is reported: the debug log, or nowhere once this job
    // log's failure has been reported.
    QDebug log();

    QSqlDatabase m_db;
    std::unique_ptr<joblogvfs::Folder> m_folder;
    bool m_existed = false;
    bool m_quiet = false;
    QString m_unreported;
};
