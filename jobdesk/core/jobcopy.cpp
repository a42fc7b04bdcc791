#include "jobcopy.h"

#include "spoolfiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace jobcopy
{

namespace
{

const char kFolderName[] = "spoolbay";
const QByteArray kJobPrefix = QByteArrayLiteral("job-");
// The converter tool may leave folders of its own in a job's folder.
const int kRemoveDepth = 8;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// Nobody but this user or root can add, rename or remove anything in it. In
// a sticky folder such as /tmp others may add entries of their own, but never
// rename or remove ours.
bool onlyOursOrRoots(const struct stat &st)
{
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// path with the links of the part that exists resolved; the missing rest is
// taken as it stands, as nothing of it can be a link yet.
QByteArray withoutLinks(const QByteArray &path)
{
    QList<QByteArray> parts = path.split('/');
    parts.removeAll(QByteArray());
    for (int keep = parts.size(); keep >= 0; --keep) {
        const QByteArray head = '/' + parts.mid(0, keep).join('/');
        char *real = ::realpath(head.constData(), nullptr);
        if (!real)
            continue;
        QByteArray result(real);
        std::free(real);
        for (int i = keep; i < parts.size(); ++i)
            result = joined(result, parts.at(i));
        return result;
    }
    return QByteArray();
}

// Opens the folder at path (absolute, no link in it) and checks every folder
// from "/" down to it, making the missing ones (0700) when `create`. Any link
// met on the way was put there since the path was resolved. -1 with *why when
// it cannot be used (*why empty when it is only missing).
int openChecked(const QByteArray &path, bool create, QString *why)
{
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QByteArray walked = "/";
    const QList<QByteArray> parts = path.split('/');
    for (int i = 0; fd >= 0; ++i) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !onlyOursOrRoots(st)) {
            *why = QFile::decodeName(walked) + QStringLiteral(" may be changed by users other than this one and root");
            break;
        }
        while (i < parts.size() && parts.at(i).isEmpty())
            ++i;
        if (i == parts.size())
            return fd;
        const QByteArray &part = parts.at(i);
        walked = joined(walked, part);
        int next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create &&
            (::mkdirat(fd, part.constData(), 0700) == 0 || errno == EEXIST))
            next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            if (error != ENOENT || create)
                *why = QFile::decodeName(walked) + QStringLiteral(": ") + errorText(error);
            break;
        }
        ::close(fd);
        fd = next;
    }
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// The folder of the jobs' copies, "spoolbay" in the user's cache location,
// checked all the way up (and made when `create`): its descriptor and path,
// or -1 with *why (empty when it is only missing).
int openPrivateFolder(bool create, QByteArray *path, QString *why)
{
    why->clear();
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) {
        *why = QStringLiteral("no cache location (HOME, XDG_CACHE_HOME)");
        return -1;
    }
    *path = joined(withoutLinks(QFile::encodeName(QDir::cleanPath(cache))), kFolderName);
    const int fd = openChecked(*path, create, why);
    if (fd < 0)
        return -1;
    // Our own, to make the jobs' folders in; the copies are the group's jobs,
    // which nobody else may read.
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() ||
        ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)) {
        *why = QFile::decodeName(*path) + QStringLiteral(" is not this user's own");
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes everything in the folder dirFd, folders to `depth` levels down,
// without following a link.
void emptyFolder(int dirFd, int depth)
{
    for (const QByteArray &name : spoolfiles::entryNames(dirFd)) {
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            ::unlinkat(dirFd, name.constData(), 0);
            continue;
        }
        const int sub = depth > 0 ? ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                  : -1;
        if (sub >= 0) {
            emptyFolder(sub, depth - 1);
            ::close(sub);
        }
        ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR);
    }
}

bool writeAllAt(int fd, const char *data, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        offset += n;
        length -= n;
    }
    return true;
}

// Copies up to `length` bytes from the start of `from` to the start of `to`:
// copy_file_range (a reflink where the file system has one), else read and
// write. Neither descriptor's position moves. The bytes copied, fewer when
// `from` ends first; -1 on an error (errno set).
qint64 copyBytes(int from, int to, qint64 length)
{
    loff_t in = 0;
    loff_t out = 0;
    bool plain = false;
    char buffer[65536];
    while (in < length) {
        const size_t want = size_t(qMin<qint64>(length - in, qint64(1) << 30));
        if (!plain) {
            const ssize_t n = ::copy_file_range(from, &in, to, &out, want, 0);
            if (n > 0)
                continue;
            if (n == 0)
                break;
            if (errno == EINTR)
                continue;
            // Across file systems, or one that cannot: copied by hand.
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL && errno != EPERM)
                return -1;
            plain = true;
        }
        const ssize_t n = ::pread(from, buffer, qMin(want, sizeof buffer), off_t(in));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        if (!writeAllAt(to, buffer, n, out))
            return -1;
        in += n;
        out += n;
    }
    return in;
}

} // namespace

std::unique_ptr<JobCopy> JobCopy::make(const QByteArray &name, int jobFd, qint64 length, QString *why)
{
    QByteArray base;
    const int privateFd = openPrivateFolder(true, &base, why);
    if (privateFd < 0)
        return nullptr;
    std::unique_ptr<JobCopy> copy(new JobCopy());
    // Nobody else can add, rename or remove anything on the way to it.
    QByteArray folder = joined(base, kJobPrefix + "XXXXXX");
    if (!::mkdtemp(folder.data())) {
        *why = QFile::decodeName(base) + QStringLiteral(": ") + errorText(errno);
        ::close(privateFd);
        return nullptr;
    }
    copy->m_folder = folder;
    copy->m_name = name;
    copy->m_folderFd = ::openat(privateFd, folder.mid(folder.lastIndexOf('/') + 1).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (copy->m_folderFd >= 0)
        copy->m_jobFd = ::openat(copy->m_folderFd, name.constData(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int error = errno;
    ::close(privateFd);
    if (copy->m_jobFd < 0) {
        *why = QFile::decodeName(folder) + QStringLiteral(": ") + errorText(error);
        return nullptr;
    }
    const qint64 copied = copyBytes(jobFd, copy->m_jobFd, length);
    if (copied != length) {
        *why = copied < 0 ? errorText(errno) : QStringLiteral("the file ends before its checked bytes");
        return nullptr;
    }
    copy->m_size = length;
    return copy;
}

JobCopy::~JobCopy()
{
    if (m_jobFd >= 0)
        ::close(m_jobFd);
    if (m_folderFd >= 0) {
        emptyFolder(m_folderFd, kRemoveDepth);
        ::close(m_folderFd);
    }
    if (!m_folder.isEmpty())
        ::rmdir(m_folder.constData());
}

bool JobCopy::addCompanion(int companionFd, QString *why)
{
    struct stat st;
    if (::fstat(companionFd, &st) != 0) {
        *why = errorText(errno);
        return false;
    }
    if (st.st_size > kMaxCompanionBytes) {
        *why = QStringLiteral("%1 bytes, more than %2").arg(st.st_size).arg(kMaxCompanionBytes);
        return false;
    }
    const int fd = ::openat(m_folderFd, (m_name + ".xml").constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = errorText(errno);
        return false;
    }
    // What it gains after the fstat is not taken: never more than the bound.
    bool ok = copyBytes(companionFd, fd, st.st_size) >= 0;
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        *why = errorText(error);
    return ok;
}

QString JobCopy::jobPath() const
{
    return QFile::decodeName(joined(m_folder, m_name));
}

QString JobCopy::companionPath() const
{
    return jobPath() + QStringLiteral(".xml");
}

bool JobCopy::readAt(qint64 offset, char *buffer, qint64 length) const
{
    if (offset < 0 || length < 0 || offset + length > m_size)
        return false;
    while (length > 0) {
        const ssize_t n = ::pread(m_jobFd, buffer, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        offset += n;
        length -= n;
    }
    return true;
}

void sweepEarlierCopies()
{
    QByteArray path;
    QString why;
    const int fd = openPrivateFolder(false, &path, &why);
    if (fd < 0) {
        if (!why.isEmpty())
            qDebug().noquote() << "no private folder for the jobs' files, jobs stay in the spool folder:" << why;
        return;
    }
    for (const QByteArray &name : spoolfiles::entryNames(fd)) {
        struct stat st;
        if (!name.startsWith(kJobPrefix) || ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode))
            continue;
        const int sub = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            emptyFolder(sub, kRemoveDepth);
            ::close(sub);
        }
        ::unlinkat(fd, name.constData(), AT_REMOVEDIR);
        qDebug().noquote() << "job copy of an earlier run removed:" << QFile::decodeName(joined(path, name));
    }
    ::close(fd);
}

} // namespace jobcopy
