// The job's files in the shared folders: made held, swept when a killed job left them.
#include "leftovers.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "pjl_internal.h"
#include "rasterpress.h"
#include "statusmonitor.h"
#include "velmora.h"

// Takes the lock of a file just made; false when another job's sweep took the
// file before us (it is gone from the folder then).
static bool Hold(int fd)
{
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat st;
    // Without locks (rc != 0) no other job can take it either.
    return rc != 0 || fstat(fd, &st) != 0 || st.st_nlink > 0;
}

int CreateHeldAt(int dirfd, const std::string &name, int flags)
{
    for (;;) {
        int fd = OpenPrivateAt(dirfd, name, flags | O_CREAT | O_EXCL);
        if (fd < 0 || Hold(fd))
            return fd;
        close(fd);
    }
}

int CreateHeldUniqueAt(int dirfd, const std::function<std::string(unsigned tag)> &nameFor, int flags,
                       std::string &name)
{
    for (;;) {
        int fd = CreatePrivateUniqueAt(dirfd, nameFor, flags, name);
        if (fd < 0 || Hold(fd))
            return fd;
        close(fd);
    }
}

static bool IsJobFileName(const char *name)
{
    return IsSpoolFileName(name) || IsJsonFileName(name) || IsCapabilityTempName(name);
}

static void RemoveLeftoversIn(int dirfd, const std::string &shown)
{
    static const char fn[] = "RemoveLeftovers";
    int dfd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dfd >= 0 ? fdopendir(dfd) : nullptr;
    if (!d) {
        if (dfd >= 0)
            close(dfd);
        return;
    }
    while (dirent *e = readdir(d)) {
        if (!IsJobFileName(e->d_name))
            continue;
        // Only a regular file of our own, and only when no running job holds it.
        int fd = OpenPrivateAt(dfd, e->d_name, O_RDWR);
        if (fd < 0)
            continue;
        struct stat held, named;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 &&
            fstatat(dfd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            DbgMessage(fn, "left by a killed job: %s%s", shown.c_str(), e->d_name);
            WipeFileContent(fd);
            if (unlinkat(dfd, e->d_name, 0) != 0)
                DbgMessage(fn, "remove fail, errno = %d", errno);
        }
        close(fd);
    }
    closedir(d);
}

void RemoveLeftovers()
{
    const std::string shared = RootedPath(rpaths::kTmpDir);
    int dir = open(shared.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        RemoveLeftoversIn(dir, shared);
        close(dir);
    }
    dir = OpenJobTempDir();
    if (dir >= 0) {
        RemoveLeftoversIn(dir, std::string(secure_getenv("TMPDIR")) + "/");
        close(dir);
    }
}
