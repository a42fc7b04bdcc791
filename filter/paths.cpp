#include "paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

const char *TestRoot()
{
    // secure_getenv returns null in set-uid/set-gid runs, so the prefix never applies there.
    static const std::string root = [] {
        const char *r = secure_getenv("RASTERPRESS_TEST_ROOT");
        return std::string(r ? r : "");
    }();
    return root.c_str();
}

std::string RootedPath(const std::string &fixedPath)
{
    return std::string(TestRoot()) + fixedPath;
}

// Opens the folder at `path` (O_PATH) when `trusted` accepts what fstat says of
// it; -1 otherwise. Its own entry is taken, never a link.
template <typename Trusted> static int OpenDirIf(const std::string &path, Trusted trusted)
{
    // A closing "/" would have the kernel follow a link there.
    std::string entry = path;
    while (entry.size() > 1 && entry.back() == '/')
        entry.pop_back();
    int fd = open(entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()) ||
        !trusted(st)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int OpenTrustedDir(const std::string &path)
{
    return OpenDirIf(path, [](const struct stat &st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; });
}

int OpenPrivateAt(int dirfd, const std::string &name, int flags)
{
    // Truncate only after the checks, so a foreign file is never emptied.
    bool trunc = (flags & O_TRUNC) != 0;
    int fd = openat(dirfd, name.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    // A regular file of our own: reads and writes block as usual again.
    if ((!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) ||
        (trunc && ftruncate(fd, 0) != 0)) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int OpenPrivate(const std::string &path, int flags)
{
    return OpenPrivateAt(AT_FDCWD, path, flags);
}

FILE *FopenPrivateAt(int dirfd, const std::string &name, const char *mode)
{
    int flags;
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    int fd = OpenPrivateAt(dirfd, name, flags);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (!f) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

FILE *FopenPrivate(const std::string &path, const char *mode)
{
    return FopenPrivateAt(AT_FDCWD, path, mode);
}

int CreatePrivateUniqueAt(int dirfd, const std::function<std::string(unsigned tag)> &nameFor, int flags,
                          std::string &name)
{
    for (int attempt = 0; attempt < 16; attempt++) {
        unsigned tag;
        if (getrandom(&tag, sizeof tag, 0) != (ssize_t)sizeof tag)
            tag = (unsigned)time(nullptr) * 2654435761u + (unsigned)getpid() * 40503u + (unsigned)attempt;
        name = nameFor(tag);
        int fd = OpenPrivateAt(dirfd, name, flags | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int OpenJobTempDir()
{
    const char *dir = secure_getenv("TMPDIR");
    if (!dir || !*dir)
        return -1;
    return OpenDirIf(dir, [](const struct stat &st) {
        return !(st.st_mode & S_IWOTH) &&
               (!(st.st_mode & S_IWGRP) || (st.st_gid == getegid() && (st.st_mode & S_ISVTX)));
    });
}
