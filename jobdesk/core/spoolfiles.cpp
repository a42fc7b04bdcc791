#include "spoolfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
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

bool readRegular(const QString &path, QByteArray *data, bool *notRegular)
{
    data->clear();
    const int fd = openRegular(path, notRegular);
    if (fd < 0)
        return false;
    bool ok = true;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data->append(chunk, int(n));
    }
    ::close(fd);
    return ok;
}

bool replaceFile(const QString &path, const QByteArray &data)
{
    // Hidden, so the spool listener never lists it; short, so any name fits.
    QByteArray temp = QFile::encodeName(QFileInfo(path).absolutePath()) + "/.spoolbay-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, data.constData(), data.size());
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

} // namespace spoolfiles
