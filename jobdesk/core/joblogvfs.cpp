#include "joblogvfs.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QUrl>

#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace joblogvfs
{

const char kVfsName[] = "spoolbay-joblog";

namespace
{

// SQLite names a job-log file "/proc/self/fd/N/" + file name, N a held folder:
// the kernel takes that to exactly the folder the descriptor holds, so even
// what SQLite's own code still does by name (the journal's folder sync) stays
// in it, whatever is renamed meanwhile.
const char kFdPrefix[] = "/proc/self/fd/";

struct HeldFolder {
    int fd;
    std::string name; // the job log's file name
    QString path;     // for the log
};

std::mutex g_heldMutex;
std::vector<HeldFolder> g_held;

enum class Kind { None, Database, Journal, Wal };

// Which of a held folder's job-log files a name SQLite works with is.
Kind kindOf(const char *path, int *dirfd, std::string *name, QString *folder)
{
    const size_t prefix = sizeof kFdPrefix - 1;
    if (!path || std::strncmp(path, kFdPrefix, prefix) != 0 ||
        !std::isdigit(static_cast<unsigned char>(path[prefix])))
        return Kind::None;
    char *end = nullptr;
    const long fd = std::strtol(path + prefix, &end, 10);
    if (*end != '/' || std::strchr(end + 1, '/') || fd > INT_MAX)
        return Kind::None;
    const std::string file(end + 1);
    std::lock_guard<std::mutex> lock(g_heldMutex);
    for (const HeldFolder &held : g_held) {
        if (held.fd != fd)
            continue;
        *dirfd = held.fd;
        *name = file;
        *folder = held.path;
        if (file == held.name)
            return Kind::Database;
        if (file == held.name + "-journal")
            return Kind::Journal;
        if (file == held.name + "-wal")
            return Kind::Wal;
    }
    return Kind::None;
}

bool plainFile(const struct stat &st)
{
    // A second name could be a file of this user's elsewhere in the file system.
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// A journal is only ever a file SQLite made. Anything else at its name was
// planted and would keep every member's job desk from writing this job log, so
// it goes, as the spool folder's odd entries do: unlinkat never follows a link,
// and a folder goes only when it is empty. True when something was removed.
bool removeOddJournal(int dirfd, const std::string &name, const QString &folder)
{
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || plainFile(st))
        return false;
    if (::unlinkat(dirfd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
        return false;
    qDebug().noquote() << "job log journal is not a plain file, removed:"
                       << folder + QLatin1Char('/') + QString::fromStdString(name);
    return true;
}

// Opens a job-log file from its folder's descriptor: never through a link,
// never blocking on a FIFO, only a plain file. One made here is for the group
// whatever the umask.
int openEntry(int dirfd, const std::string &name, Kind kind, const QString &folder, int flags)
{
    const int base = (flags & O_ACCMODE) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool made = false;
        int fd = -1;
        if (flags & O_CREAT) {
            fd = ::openat(dirfd, name.c_str(), base | O_CREAT | O_EXCL, 0660);
            made = fd >= 0;
        }
        if (fd < 0 && (!(flags & O_CREAT) || errno == EEXIST))
            fd = ::openat(dirfd, name.c_str(), base);
        if (fd >= 0) {
            struct stat st;
            if (::fstat(fd, &st) == 0 && plainFile(st)) {
                if (made)
                    ::fchmod(fd, 0660);
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                return fd;
            }
            ::close(fd);
            errno = EPERM;
        }
        const int error = errno;
        if (kind != Kind::Journal || attempt > 0 || !removeOddJournal(dirfd, name, folder)) {
            errno = error;
            return -1;
        }
    }
    return -1;
}

using OpenCall = int (*)(const char *, int, int);
OpenCall g_systemOpen = nullptr;

// SQLite's default VFS does its own opens through this call; those of a held
// folder's job-log files are made as above, every other one as before.
int guardedOpen(const char *path, int flags, int mode)
{
    int dirfd = -1;
    std::string name;
    QString folder;
    const Kind kind = kindOf(path, &dirfd, &name, &folder);
    if (kind == Kind::None)
        return g_systemOpen(path, flags, mode);
    return openEntry(dirfd, name, kind, folder, flags);
}

sqlite3_vfs *defaultVfs(sqlite3_vfs *vfs)
{
    return static_cast<sqlite3_vfs *>(vfs->pAppData);
}

// The default VFS keeps a write-ahead log's index in a "-shm" file it opens by
// name. Files without shared memory in their methods keep SQLite to the
// rollback journal, and a job log someone switched to WAL fails to open.
// (The database and its journal have methods of their own.)
const sqlite3_io_methods *rollbackOnly(const sqlite3_io_methods *methods)
{
    static std::mutex mutex;
    static std::list<std::pair<const sqlite3_io_methods *, sqlite3_io_methods>> copies;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &c : copies)
        if (c.first == methods)
            return &c.second;
    copies.emplace_back(methods, *methods);
    copies.back().second.iVersion = 1;
    return &copies.back().second;
}

int vfsOpen(sqlite3_vfs *vfs, const char *path, sqlite3_file *file, int flags, int *outFlags)
{
    sqlite3_vfs *base = defaultVfs(vfs);
    // Temporary files have no name: the default VFS makes them exclusively
    // and unlinks them at once.
    if (!path)
        return base->xOpen(base, path, file, flags, outFlags);
    int dirfd = -1;
    std::string name;
    QString folder;
    const Kind kind = kindOf(path, &dirfd, &name, &folder);
    const int type = flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_TEMP_DB |
                              SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_TRANSIENT_DB | SQLITE_OPEN_SUBJOURNAL |
                              SQLITE_OPEN_SUPER_JOURNAL | SQLITE_OPEN_WAL);
    if (!(kind == Kind::Database && type == SQLITE_OPEN_MAIN_DB) &&
        !(kind == Kind::Journal && type == SQLITE_OPEN_MAIN_JOURNAL))
        return SQLITE_CANTOPEN;
    const int rc = base->xOpen(base, path, file, flags, outFlags);
    if (rc != SQLITE_OK)
        return rc;
    file->pMethods = rollbackOnly(file->pMethods);
    return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs *, const char *path, int syncFolder)
{
    int dirfd = -1;
    std::string name;
    QString folder;
    const Kind kind = kindOf(path, &dirfd, &name, &folder);
    if (kind != Kind::Journal && kind != Kind::Wal)
        return SQLITE_IOERR_DELETE;
    if (::unlinkat(dirfd, name.c_str(), 0) != 0)
        return errno == ENOENT ? SQLITE_IOERR_DELETE_NOENT : SQLITE_IOERR_DELETE;
    if (syncFolder && ::fsync(dirfd) != 0)
        return SQLITE_IOERR_DIR_FSYNC;
    return SQLITE_OK;
}

int vfsAccess(sqlite3_vfs *, const char *path, int flags, int *result)
{
    *result = 0;
    int dirfd = -1;
    std::string name;
    QString folder;
    const Kind kind = kindOf(path, &dirfd, &name, &folder);
    // Nothing else is there for the job log, nor a write-ahead log it never keeps.
    if (kind == Kind::None || kind == Kind::Wal)
        return SQLITE_OK;
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return SQLITE_OK;
    if (!plainFile(st)) {
        // Still there when it could not be removed: the open that follows fails.
        *result = !(kind == Kind::Journal && removeOddJournal(dirfd, name, folder));
        return SQLITE_OK;
    }
    if (flags == SQLITE_ACCESS_EXISTS)
        *result = 1;
    else
        *result = ::faccessat(dirfd, name.c_str(), flags == SQLITE_ACCESS_READWRITE ? R_OK | W_OK : R_OK,
                              AT_EACCESS) == 0;
    return SQLITE_OK;
}

// Names are used as given: the default VFS would resolve links in them.
int vfsFullPathname(sqlite3_vfs *, const char *path, int size, char *out)
{
    const size_t length = std::strlen(path);
    if (path[0] != '/' || length >= size_t(size))
        return SQLITE_CANTOPEN;
    std::memcpy(out, path, length + 1);
    return SQLITE_OK;
}

bool registerVfs()
{
    static sqlite3_vfs vfs;
    sqlite3_vfs *base = sqlite3_vfs_find("unix");
    if (!base || base->iVersion < 3 || !base->xSetSystemCall)
        return false;
    g_systemOpen = reinterpret_cast<OpenCall>(base->xGetSystemCall(base, "open"));
    if (!g_systemOpen ||
        base->xSetSystemCall(base, "open", reinterpret_cast<sqlite3_syscall_ptr>(guardedOpen)) != SQLITE_OK)
        return false;
    vfs = *base;
    vfs.pNext = nullptr;
    vfs.zName = kVfsName;
    vfs.pAppData = base;
    vfs.xOpen = vfsOpen;
    vfs.xDelete = vfsDelete;
    vfs.xAccess = vfsAccess;
    vfs.xFullPathname = vfsFullPathname;
    vfs.xSetSystemCall = nullptr;
    vfs.xGetSystemCall = nullptr;
    vfs.xNextSystemCall = nullptr;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
}

bool vfsRegistered()
{
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] { registered = registerVfs(); });
    return registered;
}

// dbPath's folder, the folder holding it, and the file's name.
struct Place {
    QString parent;
    QByteArray folder;
    QByteArray file;
};

Place placeOf(const QString &dbPath)
{
    const int slash = dbPath.lastIndexOf(QLatin1Char('/'));
    const QString folder = QDir::cleanPath(slash < 0 ? QStringLiteral(".") : dbPath.left(slash + 1));
    const int up = folder.lastIndexOf(QLatin1Char('/'));
    Place p;
    p.parent = up < 0 ? QStringLiteral(".") : up == 0 ? QStringLiteral("/") : folder.left(up);
    p.folder = QFile::encodeName(folder.mid(up + 1));
    p.file = QFile::encodeName(dbPath.mid(slash + 1));
    return p;
}

int openFolderAt(const Place &place, bool create)
{
    const int parent =
        ::open(QFile::encodeName(place.parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return -1;
    const bool made = create && ::mkdirat(parent, place.folder.constData(), 0770) == 0;
    const int fd =
        ::openat(parent, place.folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(parent);
    struct stat st;
    // Only while it is ours: another member may have put a folder of theirs
    // in its place meanwhile.
    if (made && fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid())
        ::fchmod(fd, 02770);
    return fd;
}

} // namespace

Folder::Folder(const QString &dbPath, bool create)
{
    const Place place = placeOf(dbPath);
    if (place.file.isEmpty() || place.folder == "." || place.folder == ".." || !vfsRegistered())
        return;
    m_fd = openFolderAt(place, create);
    if (m_fd < 0)
        return;
    m_name = place.file;
    m_path = place.parent + QLatin1Char('/') + QFile::decodeName(place.folder);
    std::lock_guard<std::mutex> lock(g_heldMutex);
    g_held.push_back({m_fd, m_name.toStdString(), m_path});
}

Folder::~Folder()
{
    if (m_fd < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(g_heldMutex);
        for (auto it = g_held.begin(); it != g_held.end(); ++it) {
            if (it->fd == m_fd) {
                g_held.erase(it);
                break;
            }
        }
    }
    ::close(m_fd);
}

Folder::Entry Folder::entry() const
{
    struct stat st;
    if (m_fd < 0)
        return Entry::Other;
    if (::fstatat(m_fd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Entry::Missing : Entry::Other;
    return plainFile(st) ? Entry::Regular : Entry::Other;
}

QString Folder::databaseName() const
{
    return QStringLiteral("file:") + QLatin1String(kFdPrefix) + QString::number(m_fd) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(QFile::decodeName(m_name))) + QStringLiteral("?vfs=") +
           QLatin1String(kVfsName);
}

} // namespace joblogvfs
