#include "spoolfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace spoolfiles
{

namespace
{

bool writeAll(int fd, const char *data, qint64 length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= n;
    }
    return true;
}

} // namespace

Entry entryAt(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Entry::Missing;
    if (S_ISREG(st.st_mode))
        return Entry::Regular;
    return S_ISDIR(st.st_mode) ? Entry::Folder : Entry::Other;
}

int openRegular(const QString &path, bool *notRegular)
{
    if (notRegular)
        *notRegular = false;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        // O_NOFOLLOW refuses a link with ELOOP.
        if (notRegular && errno == ELOOP)
            *notRegular = true;
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (notRegular)
            *notRegular = true;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readRegular(const QString &path, QByteArray *data, qint64 maxBytes, bool *notRegular, bool *tooLarge)
{
    data->clear();
    if (tooLarge)
        *tooLarge = false;
    const int fd = openRegular(path, notRegular);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && st.st_size > maxBytes) {
        if (tooLarge)
            *tooLarge = true;
        ok = false;
    }
    char chunk[65536];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        // It may grow after the fstat: still never more than maxBytes.
        if (data->size() + n > maxBytes) {
            if (tooLarge)
                *tooLarge = true;
            ok = false;
            break;
        }
        data->append(chunk, int(n));
    }
    ::close(fd);
    if (!ok)
        data->clear();
    return ok;
}

QList<QByteArray> entryNames(int dirFd)
{
    QList<QByteArray> names;
    // fdopendir takes the descriptor it is given: a copy of its own.
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    ::rewinddir(dir); // the copy shares the original's position
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names << QByteArray(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

QByteArray identity(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArrayLiteral("-");
    const qint64 fields[] = {qint64(st.st_dev),        qint64(st.st_ino),          qint64(st.st_mode),
                             qint64(st.st_size),       qint64(st.st_mtim.tv_sec),  qint64(st.st_mtim.tv_nsec),
                             qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
    return QByteArray(reinterpret_cast<const char *>(fields), sizeof fields);
}

bool replaceFile(const QString &path, const QByteArray &data)
{
    // Hidden, so the spool listener never lists it; short, so any name fits.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    QByteArray temp;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        temp = folder + "/.spoolbay-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        // Never an entry that is there already; the mode is the umask's, as
        // for any file the job desk makes in its group's folders.
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, data.constData(), data.size());
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

CheckedFile::CheckedFile(int fd, qint64 size) : m_fd(fd), m_size(size)
{
    struct stat st;
    if (::fstat(m_fd, &st) == 0) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
        m_mtime = st.st_mtim;
    }
}

CheckedFile::~CheckedFile()
{
    ::close(m_fd);
}

bool CheckedFile::changedAt(const QString &path) const
{
    struct stat named;
    if (::lstat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    if (named.st_dev != m_dev || named.st_ino != m_ino)
        return true;
    struct stat now;
    if (::fstat(m_fd, &now) != 0)
        return true;
    return now.st_size != m_size || now.st_mtim.tv_sec != m_mtime.tv_sec ||
           now.st_mtim.tv_nsec != m_mtime.tv_nsec;
}

} // namespace spoolfiles
