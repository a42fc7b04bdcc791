// The job desk's own copy of the job in its pipeline. Any member of the group
// can rename anything in the spool folder at any moment, so the converter
// tool and every later step of a job work on a copy of the bytes that passed
// the completeness check, in a folder of the user's cache that nobody but the
// user (or root) can change, on the whole way up from "/".
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace jobcopy
{

// A companion holds a few hundred bytes of tags: a larger one is refused.
constexpr qint64 kMaxCompanionBytes = 1024 * 1024;

class JobCopy
{
public:
    // A new folder for one job, holding the first `length` bytes of jobFd
    // under `name`; null, with *why, when it cannot be made or jobFd ends
    // before `length` bytes.
    static std::unique_ptr<JobCopy> make(const QByteArray &name, int jobFd, qint64 length, QString *why);
    // Removes the folder and everything in it.
    ~JobCopy();
    JobCopy(const JobCopy &) = delete;
    JobCopy &operator=(const JobCopy &) = delete;

    // Adds the companion under name + ".xml": the bytes of companionFd, from
    // its start, when it holds at most kMaxCompanionBytes (by its fstat);
    // false, with *why, when not.
    bool addCompanion(int companionFd, QString *why);

    QString jobPath() const;
    QString companionPath() const;
    qint64 size() const { return m_size; }
    // Read-only use: the completeness check of the copy reads it from here.
    int jobFd() const { return m_jobFd; }
    // Reads `length` bytes at `offset`; false on a read error or past the copy's end.
    bool readAt(qint64 offset, char *buffer, qint64 length) const;

private:
    JobCopy() = default;

    QByteArray m_folder; // the job's folder, a path with no link in it
    QByteArray m_name;
    int m_folderFd = -1;
    int m_jobFd = -1;
    qint64 m_size = 0;
};

// Removes the job folders an earlier run left in the private folder, and
// says so when there is no private folder that only the user can change.
void sweepEarlierCopies();

} // namespace jobcopy
