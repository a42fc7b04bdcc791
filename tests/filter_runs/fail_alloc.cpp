// Preloaded into a filter run: fails one chosen allocation of a thread other
// than the main one, as a page worker short of memory would see it.
//
//   FAIL_ALLOC_SIZE=n   the malloc of exactly n bytes to fail
//   FAIL_ALLOC_NTH=k    the k-th such call outside the main thread (default 1)
//
// Every other allocation goes to the next malloc in line (libc's, or a
// sanitizer's).
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

using MallocFn = void *(*)(size_t);

MallocFn gNext = nullptr;
size_t gSize = 0;
long gNth = 1;
std::atomic<long> gSeen{0};

// The dynamic linker allocates before the environment can be read: the choice
// is read once the process is set up, and nothing fails before that.
__attribute__((constructor)) void ReadChoice()
{
    if (const char *s = getenv("FAIL_ALLOC_NTH"))
        gNth = strtol(s, nullptr, 10);
    if (const char *s = getenv("FAIL_ALLOC_SIZE"))
        gSize = strtoul(s, nullptr, 10);
}

bool MainThread()
{
    return syscall(SYS_gettid) == getpid();
}

} // namespace

extern "C" void *malloc(size_t n)
{
    if (!gNext)
        gNext = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    if (gSize != 0 && n == gSize && !MainThread() && gSeen.fetch_add(1) + 1 == gNth) {
        errno = ENOMEM;
        return nullptr;
    }
    return gNext(n);
}
