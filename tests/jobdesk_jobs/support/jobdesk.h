// A job desk controller running in the test process, on a temporary root
// (SPOOLBAY_TEST_ROOT) with the converter stand-in installed under it, and a
// cache location of its own (XDG_CACHE_HOME) for its copies of the jobs.
#pragma once

#include "pjljob.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class PrintConfig;

namespace testjob {

// A whole file (empty when it cannot be read), and a file written anew.
QByteArray fileBytes(const QString &path);
bool writeBytes(const QString &path, const QByteArray &data);

// Collects every Qt message of the process from now on (thread-safe).
void installLogCapture();
// Every debug line of the process since the last clear.
QStringList logLines();
void clearLog();
bool logContains(const QString &text);
// Called with every message right after it is logged, in the thread that
// logged it (empty: none); lets a test act at a moment the log marks.
void setLogHook(std::function<void(const QString &)> hook);

// Rows of a job-log file, column name -> value; none when it cannot be read.
QList<QMap<QString, QString>> readJobLog(const QString &dbPath);

class JobDesk
{
public:
    JobDesk();
    ~JobDesk();

    bool ok() const { return m_ok; }
    PrintConfig *controller() const { return m_controller.get(); }
    QString root() const { return m_root.path(); }
    // Where the controller keeps its copies of the jobs in work.
    QString jobCopiesDir() const { return m_cache.path() + QStringLiteral("/spoolbay"); }
    QString spoolDir() const;
    QString spoolPath(const QString &name) const { return spoolDir() + name; }
    QString jobLogPath(const QString &printer) const;

    // Removes or reinstalls the converter tool.
    void setConverterInstalled(bool installed);
    // Installs a converter that runs the stand-in, then the shell commands
    // `after` with its arguments ($2 the print file, $4 the companion).
    void installConverter(const QByteArray &after);

    // Writes the print file, then its companion, into the spool folder.
    bool dropJob(const QString &name, const PjlJob &job, const QByteArray &xml = QByteArray());
    bool dropFile(const QString &name, const QByteArray &data, const QByteArray &xml = QByteArray());
    QStringList spoolFiles() const;

    // Rows of the job log of one printer, column name -> value.
    QList<QMap<QString, QString>> jobLogRows(const QString &printer) const;
    // The job-list row of a job id as written by the controller, or empty.
    QString jobRow(const QString &rowId) const;

private:
    QTemporaryDir m_root;
    QTemporaryDir m_cache; // the user's cache location, outside the root's tree
    QByteArray m_previousCache;
    std::unique_ptr<PrintConfig> m_controller;
    bool m_ok = false;
};

} // namespace testjob
