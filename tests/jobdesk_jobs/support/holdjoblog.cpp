// Preloaded into a job desk: holds its open of a job log while the test asks
// for it, so that what another user does meanwhile lands for certain between
// the job desk's own checks and SQLite's opens. While HOLD_DIR/hold exists, an
// SQLite open of a name holding "porvikdb.dll" makes HOLD_DIR/held and waits
// (at most 30 s) until hold is gone; HOLD_DIR is $SPOOLBAY_HOLD_DIR.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{

using OpenCall = int (*)(const char *, sqlite3 **, int, const char *);

void holdWhileAsked()
{
    const char *dir = std::getenv("SPOOLBAY_HOLD_DIR");
    if (!dir)
        return;
    char hold[4096];
    char held[4096];
    std::snprintf(hold, sizeof hold, "%s/hold", dir);
    std::snprintf(held, sizeof held, "%s/held", dir);
    if (::access(hold, F_OK) != 0)
        return;
    const int fd = ::open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
    for (int i = 0; i < 3000 && ::access(hold, F_OK) == 0; ++i)
        ::usleep(10000);
}

// The library itself may have come with a plug-in, outside the global scope.
OpenCall sqliteOpen()
{
    void *found = ::dlsym(RTLD_NEXT, "sqlite3_open_v2");
    if (!found)
        found = ::dlsym(::dlopen("libsqlite3.so.0", RTLD_LAZY | RTLD_NOLOAD), "sqlite3_open_v2");
    return reinterpret_cast<OpenCall>(found);
}

} // namespace

extern "C" int sqlite3_open_v2(const char *name, sqlite3 **db, int flags, const char *vfs)
{
    static const OpenCall next = sqliteOpen();
    if (name && std::strstr(name, "porvikdb.dll"))
        holdWhileAsked();
    return next(name, db, flags, vfs);
}
