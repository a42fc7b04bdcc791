// The job logs' folders are the group's: any member may rename, replace or
// plant an entry there at any moment. SQLite reaches a job log, and the journal
// it keeps beside it, only through a folder descriptor taken once and checked,
// with every open made from it without following a link or blocking, so no
// swap can send a write outside that folder.
#pragma once

#include <QByteArray>
#include <QString>

namespace joblogvfs
{

// The SQLite VFS that the job log is opened through, registered on first use.
extern const char kVfsName[];

// A job log's folder, held open while SQLite works in it.
class Folder
{
public:
    // The folder of dbPath, opened by descriptor: what holds it (root's,
    // perhaps an admin's link) is opened by name, the folder itself never
    // through a link. When create is set, a missing folder is made for the
    // group (02770), whatever the umask of the session that made it.
    Folder(const QString &dbPath, bool create);
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Whether the job log is there now as a regular file, missing, or as
    // anything else (a link, a FIFO, a folder), which is never used.
    enum class Entry { Missing, Regular, Other };
    Entry entry() const;
    // The name to give QSqlDatabase (with QSQLITE_OPEN_URI): the job log in
    // this very folder, through the VFS above.
    QString databaseName() const;

private:
    int m_fd = -1;
    QByteArray m_name; // the job log's file name in the folder
    QString m_path;    // for the log
};

} // namespace joblogvfs
