// Files of the folders every member of the group may fill, rename and empty
// (the spool folder, the job logs'): nothing there is opened through a link
// or as anything but a regular file, and a file the job desk writes replaces
// the entry instead of being written through it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>
#include <time.h>

namespace spoolfiles
{

enum class Entry { Missing, Regular, Folder, Other };

// What the entry at path is itself (a link is Other, whatever it names).
Entry entryAt(const QString &path);

// Opens an existing entry for reading without following a link and without
// blocking on a FIFO or device; -1 when it cannot be opened or is no regular
// file (then *notRegular is set).
int openRegular(const QString &path, bool *notRegular = nullptr);

// The whole of a regular file, opened as above, when it holds at most
// maxBytes (checked on the descriptor before anything is read); false when
// it cannot be read or is larger (then *tooLarge is set).
bool readRegular(const QString &path, QByteArray *data, qint64 maxBytes, bool *notRegular = nullptr,
                 bool *tooLarge = nullptr);

// The names in the folder dirFd (not "." and ".."), as the bytes they are.
QList<QByteArray> entryNames(int dirFd);

// Device, inode, size and times of the entry at path itself, as bytes that
// differ whenever any of them does; the same bytes for every missing entry.
QByteArray identity(const QString &path);

// Writes data to a new file of our own in path's folder and renames it over
// path, which replaces whatever entry is there (a link itself, never what it
// names); false, with nothing left behind, when that cannot be done.
bool replaceFile(const QString &path, const QByteArray &data);

// A spool file as its completeness check read it: the job's copy is made
// from this descriptor, which stays open to tell whether the file changes.
class CheckedFile
{
public:
    // Takes fd, from which `size` bytes were checked.
    CheckedFile(int fd, qint64 size);
    ~CheckedFile();
    CheckedFile(const CheckedFile &) = delete;
    CheckedFile &operator=(const CheckedFile &) = delete;

    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }
    // True when path names other bytes than the checked ones: another file
    // renamed over it, or this one grown, cut or rewritten. Nothing at path is
    // no change: there is nothing left to keep.
    bool changedAt(const QString &path) const;

private:
    int m_fd;
    qint64 m_size;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    timespec m_mtime = {};
};

} // namespace spoolfiles
