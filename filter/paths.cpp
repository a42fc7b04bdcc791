#include "paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

bool TrustedDir(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int OpenPrivate(const std::string &path, int flags)
{
    // Truncate only after the checks, so a foreign file is never emptied.
    bool trunc = (flags & O_TRUNC) != 0;
    int fd = open(path.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    if (trunc && ftruncate(fd, 0) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

FILE *FopenPrivate(const std::string &path, const char *mode)
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
    int fd = OpenPrivate(path, flags);
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
