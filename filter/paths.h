// Every fixed path of the filter, in one place. Tests relocate them all under
// one root prefix (RASTERPRESS_TEST_ROOT, ignored for set-uid runs); unset,
// each path is used exactly as written here.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace rpaths
{

// Save-to-file copy of the job stream (folder is never created by the filter).
constexpr const char kSaveDir[] = "//tmp//saveprn/";
constexpr const char kSaveFileFmt[] = "//tmp//saveprn/job%s.prn"; // job id
// Duplex and collation spool file, one per job: job id and a random tag,
// so no other job or user can take or plant the name.
constexpr const char kSpoolFileFmt[] = "//tmp//swspool_job%d_%08x.dat"; // job id, tag
// Capability cache: per queue, or one file when the status monitor is off.
// It lives in the job's own temporary folder when the print system gives it
// one (OpenJobTempDir), under the same name.
constexpr const char kCapFileFmt[] = "//tmp//%s.dat"; // queue name
constexpr const char kCapFileNoPsm[] = "//tmp/PRN.dat";
// Accounting JSON job file written by the accounting tool.
constexpr const char kJsonFileFmt[] = "//tmp//%s_job%s.txt"; // title, job id
constexpr const char kAtmTool[] = "/opt/Omsta/ATM";
// Debug log folder and file.
constexpr const char kLogDir[] = "/tmp/cups";
constexpr const char kLogFile[] = "/printer.log"; // appended to kLogDir

// The shared temporary folder all the names above lie in.
constexpr const char kTmpDir[] = "//tmp/";

// The names inside their folders, for opening relative to the folder checked.
constexpr bool StartsWith(const char *s, const char *prefix)
{
    return *prefix == 0 || (*s == *prefix && StartsWith(s + 1, prefix + 1));
}
static_assert(StartsWith(kSpoolFileFmt, kTmpDir) && StartsWith(kCapFileFmt, kTmpDir) &&
                  StartsWith(kCapFileNoPsm, kTmpDir) && StartsWith(kJsonFileFmt, kTmpDir),
              "the job's files lie in the shared temporary folder");
static_assert(StartsWith(kSaveFileFmt, kSaveDir), "the copy lies in the copy folder");
constexpr const char *kSaveFileInDirFmt = kSaveFileFmt + sizeof kSaveDir - 1; // "job%s.prn"
constexpr const char *kLogFileInDir = kLogFile + 1;                           // "printer.log"

// Status-monitor library search list, in order.
constexpr const char kHwBridge1[] = "/usr/bin/hwbridge.so";
constexpr const char kHwBridge2[] = "/usr/lib64/hwbridge.so";
constexpr const char kHwBridge3[] = "/opt/StatusMonitor/hwbridge.so";
constexpr const char kHwBridgeToolFmt[] = "/opt/Quorvel/%s/hwbridge.so"; // Toolfd
constexpr const char kHwBridgeDirFmt[] = "%s/hwbridge.so";               // Toolfd

} // namespace rpaths

// The test root prefix: "" unless RASTERPRESS_TEST_ROOT is set (read once).
const char *TestRoot();

// A fixed path (or one already formatted from a fixed format) under the root prefix.
std::string RootedPath(const std::string &fixedPath);

// A folder inside a world-writable one is trusted only when its own entry is
// a real directory (a symlink is refused, also with a closing "/"), owned by
// root or by us, and not writable by group or others. Returns a descriptor of
// the very folder checked (O_PATH, for the *At functions below) or -1.
int OpenTrustedDir(const std::string &path);

// Opens a file in a shared folder without following a symbolic link or
// blocking (a FIFO never holds the open) and, when created, with mode 0600.
// An existing file is accepted only when it is a regular file owned by us
// with one link. `flags` are open(2) flags (O_CREAT, O_TRUNC, O_EXCL, access
// mode). `name` is taken relative to `dirfd` (AT_FDCWD: the current folder).
// Returns the descriptor or -1 (errno set).
int OpenPrivateAt(int dirfd, const std::string &name, int flags);
int OpenPrivate(const std::string &path, int flags);

// The same as a stdio stream; `mode` is an fopen mode ("rb", "w+b", "a+").
FILE *FopenPrivateAt(int dirfd, const std::string &name, const char *mode);
FILE *FopenPrivate(const std::string &path, const char *mode);

// Creates a private file (O_CREAT | O_EXCL, 0600) in `dirfd` at the first free
// name that `nameFor` makes from a fresh random tag; the name chosen goes to
// `name`. `flags` add the access mode. Returns the descriptor or -1 (errno set).
int CreatePrivateUniqueAt(int dirfd, const std::function<std::string(unsigned tag)> &nameFor, int flags,
                          std::string &name);

// The job's own temporary folder: TMPDIR as the print system sets it (CUPS
// gives each filter one, root:lp 1770), taken only when no other user can
// create names in it: a real folder of root's or ours, not writable by others,
// and writable by its group only when that is our group and the folder is
// sticky. Returns a descriptor of the very folder checked (O_PATH) or -1, as
// for a run by hand.
int OpenJobTempDir();
