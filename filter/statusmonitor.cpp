// Binding of the status-monitor library, the wake-up and capability query the
// job driver makes through it, and the job's registration with the
// status-monitor process.
#include "statusmonitor.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "leftovers.h"
#include "paths.h"
#include "rasterpress.h"
#include "velmora.h"

void *lib_handle = nullptr;
PFN_GetPrinterList_s fnGetPrinterList_s = nullptr;
PFN_SendPrinterControl fnSendPrinterControl = nullptr;
PFN_QueryPrinterStatus fnQueryPrinterStatus = nullptr;
PFN_ReadWriteMemory fnReadWriteMemory = nullptr;
PFN_ReadWriteMemoryEx fnReadWriteMemoryEx = nullptr;
PFN_IsPSMRunning fnIsPSMRunning = nullptr;
PFN_WeakupNetPrinter fnWeakupNetPrinter = nullptr;

namespace {

void clearEntries()
{
    fnGetPrinterList_s = nullptr;
    fnSendPrinterControl = nullptr;
    fnQueryPrinterStatus = nullptr;
    fnReadWriteMemory = nullptr;
    fnReadWriteMemoryEx = nullptr;
    fnIsPSMRunning = nullptr;
    fnWeakupNetPrinter = nullptr;
}

// Looks up one entry; a missing symbol leaves the pointer null.
template <typename Fn> void bindEntry(Fn &slot, const char *name)
{
    dlerror();
    void *sym = dlsym(lib_handle, name);
    const char *err = dlerror();
    if (err || !sym) {
        DbgMessage("LoadStatusMonitor", "%s", err ? err : name);
        slot = nullptr;
        return;
    }
    slot = reinterpret_cast<Fn>(sym);
    DbgMessage("LoadStatusMonitor", "Get %s success.", name);
}

// The library's name fields are fixed arrays; a name that fills its array
// has no terminator and cannot equal a queue name anyway.
bool sameName(const char *field, size_t size, const char *name)
{
    size_t n = strnlen(field, size);
    return n < size && n == std::strlen(name) && std::memcmp(field, name, n) == 0;
}

// The library expects a writable, terminated name buffer of its own.
void copyName(char (&dst)[256], const char *src)
{
    std::memset(dst, 0, sizeof dst);
    if (src)
        std::strncpy(dst, src, sizeof dst - 1);
}

} // namespace

void LoadStatusMonitor(PrinterAttribute *myPrinters, int *printerNumber, int *SelectPrnter,
                       const char *WorkPrinter, const char *Toolfd)
{
    *SelectPrnter = -1;
    *printerNumber = 0;
    clearEntries();
    lib_handle = nullptr;
    if (!Toolfd)
        Toolfd = "";

    const char *formats[] = {rpaths::kHwBridge1, rpaths::kHwBridge2, rpaths::kHwBridge3,
                             rpaths::kHwBridgeToolFmt, rpaths::kHwBridgeDirFmt};
    for (size_t i = 0; i < sizeof formats / sizeof formats[0] && !lib_handle; ++i) {
        char path[128];
        int n = i < 3 ? std::snprintf(path, sizeof path, "%s", formats[i])
                      : std::snprintf(path, sizeof path, formats[i], Toolfd);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            // A cut path could name some other file: never load it.
            DbgMessage("LoadStatusMonitor", "Open %s fail!", path);
            continue;
        }
        if (path[0] != '/') {
            // A relative Toolfd would load code from whatever the current folder is.
            DbgMessage("LoadStatusMonitor", "Open %s fail!", path);
            continue;
        }
        std::string rooted = RootedPath(path);
        lib_handle = dlopen(rooted.c_str(), RTLD_LAZY);
        if (!lib_handle)
            DbgMessage("LoadStatusMonitor", "Open %s fail!", rooted.c_str());
        else
            DbgMessage("LoadStatusMonitor", "Open %s succ.", rooted.c_str());
    }
    if (!lib_handle)
        return;
    DbgMessage("LoadStatusMonitor", "Open hwbridge.so.1.0 success.");

    bindEntry(fnGetPrinterList_s, "GetPrinterList_s");
    bindEntry(fnSendPrinterControl, "SendPrinterControl");
    bindEntry(fnQueryPrinterStatus, "QueryPrinterStatus");
    bindEntry(fnReadWriteMemory, "ReadWriteMemory");
    bindEntry(fnReadWriteMemoryEx, "ReadWriteMemoryEx");
    bindEntry(fnIsPSMRunning, "IsPSMRunning");
    bindEntry(fnWeakupNetPrinter, "WeakupNetPrinter");

    if (!fnGetPrinterList_s)
        return;
    std::memset(myPrinters, 0, sizeof(PrinterAttribute) * MAX_SM_PRINTERS);
    int count = 0;
    int rc = fnGetPrinterList_s(myPrinters, MAX_SM_PRINTERS, &count);
    if (rc != 0)
        DbgMessage("LoadStatusMonitor", "GetPrinterList_s failed. rc = %d", rc);
    DbgMessage("LoadStatusMonitor", "GetPrinterList_s success. rc = %d", rc);
    if (count < 0)
        count = 0;
    if (count > MAX_SM_PRINTERS)
        count = MAX_SM_PRINTERS;
    *printerNumber = count;
    for (int i = 0; i < count; ++i) {
        // Later code treats the port as a string: make sure it ends in the entry.
        myPrinters[i].PortName[sizeof myPrinters[i].PortName - 1] = '\0';
        if (WorkPrinter && sameName(myPrinters[i].PrinterName, sizeof myPrinters[i].PrinterName, WorkPrinter)) {
            *SelectPrnter = i;
            DbgMessage("LoadStatusMonitor", "SelectPrnter = %d", i);
        }
    }
}

void UnloadStatusMonitor(void)
{
    clearEntries();
    if (lib_handle) {
        dlclose(lib_handle);
        lib_handle = nullptr;
    }
}

int WakeUpAndProbePSM(PrinterAttribute *myPrinters, int SelectPrnter)
{
    if (fnWeakupNetPrinter && SelectPrnter >= 0 && !std::strstr(myPrinters[SelectPrnter].PortName, "usb")) {
        int rc = fnWeakupNetPrinter(myPrinters[SelectPrnter].PortName);
        if (rc == 0)
            DbgMessage("main", "fnWeakupNetPrinter success. rc = %d", rc);
        else
            DbgMessage("main", "fnWeakupNetPrinter failed. rc = %d", rc);
    }
    int IsPSM_Exist = 0;
    if (fnIsPSMRunning) {
        IsPSM_Exist = fnIsPSMRunning();
        DbgMessage("main", "IsPSM_Exist = %d", IsPSM_Exist);
    }
    return IsPSM_Exist;
}

BOOL CapabilityFileName(int IgnorePSM, const char *queue, char *out, size_t outSize)
{
    int n;
    if (IgnorePSM != 0) {
        n = std::snprintf(out, outSize, "%s", rpaths::kCapFileNoPsm);
    } else {
        // The queue name becomes a file name in a shared folder: it must stay one.
        if (!queue || !*queue || std::strchr(queue, '/'))
            return FALSE;
        n = std::snprintf(out, outSize, rpaths::kCapFileFmt, queue);
    }
    return n >= 0 && static_cast<size_t>(n) < outSize;
}

// A new cache is written under its name with this tag after it, then renamed.
static const char kCapTempFmt[] = ".%08x";

bool IsCapabilityTempName(const char *name)
{
    const char *ext = std::strrchr(rpaths::kCapFileNoPsm, '.'); // ".dat"
    const size_t extLen = std::strlen(ext), n = std::strlen(name);
    const size_t tagLen = static_cast<size_t>(std::snprintf(nullptr, 0, kCapTempFmt, 0u));
    if (n <= extLen + tagLen)
        return false;
    char made[16];
    unsigned tag = 0;
    const char *t = name + n - tagLen;
    return std::sscanf(t, kCapTempFmt, &tag) == 1 && std::snprintf(made, sizeof made, kCapTempFmt, tag) > 0 &&
           std::strcmp(made, t) == 0 && std::strncmp(t - extLen, ext, extLen) == 0;
}

// The cache's folder: the job's own temporary folder, where no other user can
// take its name, or for a run by hand the shared one of the fixed name. The
// name inside it goes to `name`, the folder as logged to `shown`.
static int OpenCapabilityDir(const char *CapFileName, std::string &name, std::string &shown)
{
    const char *slash = std::strrchr(CapFileName, '/');
    name = slash + 1;
    int dir = OpenJobTempDir();
    if (dir >= 0) {
        shown = std::string(secure_getenv("TMPDIR")) + "/";
        return dir;
    }
    shown = RootedPath(std::string(CapFileName, slash + 1));
    return open(shown.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void QueryCapability(PrinterAttribute *myPrinters, int SelectPrnter, int IgnorePSM, const char *queue,
                     BYTE *PrnCapInfo)
{
    BOOL answered = FALSE;
    if (fnSendPrinterControl && SelectPrnter >= 0 && IgnorePSM == 0) {
        // A failed try may leave half a block behind: only a whole answer is taken.
        PrinterCapability answer;
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::memset(&answer, 0, sizeof answer);
            int rc = fnSendPrinterControl(&myPrinters[SelectPrnter], PRINT_QUERY_CAPABILITY,
                                          reinterpret_cast<char *>(&answer), sizeof answer);
            if (rc == 0) {
                std::memcpy(PrnCapInfo, &answer, sizeof answer);
                answered = TRUE;
                break;
            }
            DbgMessage("main", "fail to get capability, try = %d", attempt);
        }
        DbgMessage("main", "Feature = %0x, %0x", PrnCapInfo[0], PrnCapInfo[1]);
    }

    char CapFileName[512];
    if (!CapabilityFileName(IgnorePSM, queue, CapFileName, sizeof CapFileName)) {
        DbgMessage("main", "fopen fail! errno = %d", ENAMETOOLONG);
        return;
    }
    std::string name, shown;
    int dir = OpenCapabilityDir(CapFileName, name, shown);
    if (dir < 0) {
        DbgMessage("main", "fopen fail! errno = %d", errno);
        return;
    }
    DbgMessage("main", "CapFileName = %s%s", shown.c_str(), name.c_str());
    if (answered) {
        // A fresh private file renamed over the cache: a job reading it meanwhile gets the
        // old block or the new one, never half. It is held until renamed, so a kill before
        // leaves it to a later job's sweep.
        std::string fresh;
        int fd = CreateHeldUniqueAt(
            dir,
            [&](unsigned tag) {
                char t[16];
                std::snprintf(t, sizeof t, kCapTempFmt, tag);
                return name + t;
            },
            O_WRONLY, fresh);
        if (fd < 0) {
            DbgMessage("main", "fopen fail! errno = %d", errno);
        } else if (write(fd, PrnCapInfo, PRINTER_CAPABILITY_SIZE) != PRINTER_CAPABILITY_SIZE ||
                   renameat(dir, fresh.c_str(), dir, name.c_str()) != 0) {
            DbgMessage("main", "fwrite fail! errno = %d", errno);
            unlinkat(dir, fresh.c_str(), 0);
        } else {
            DbgMessage("main", "write Feature = %0x, %0x", PrnCapInfo[0], PrnCapInfo[1]);
        }
        if (fd >= 0)
            close(fd);
        close(dir);
        return;
    }

    FILE *f = FopenPrivateAt(dir, name, "rb");
    close(dir);
    if (!f) {
        DbgMessage("main", "fopen fail! errno = %d", errno);
        return;
    }
    // A cut-short cache is not a capability block: keep what we had.
    BYTE cached[PRINTER_CAPABILITY_SIZE + 1];
    size_t got = std::fread(cached, 1, sizeof cached, f);
    std::fclose(f);
    if (got != PRINTER_CAPABILITY_SIZE) {
        DbgMessage("main", "cache size %d, not used", static_cast<int>(got));
        return;
    }
    std::memcpy(PrnCapInfo, cached, PRINTER_CAPABILITY_SIZE);
    DbgMessage("main", "read Feature = %0x, %0x", PrnCapInfo[0], PrnCapInfo[1]);
}

BOOL StatusMonitorEnable(const char *PrinterName)
{
    DbgMessage("StatusMonitorEnable", "in");
    DbgMessage("StatusMonitorEnable", "SuppliesInfo size %d", static_cast<int>(sizeof(SuppliesInfo)));
    DbgMessage("StatusMonitorEnable", "pErrorInfo size %d", static_cast<int>(sizeof(pErrorInfo)));
    DbgMessage("StatusMonitorEnable", "SMCancelJobStruc size %d", static_cast<int>(sizeof(SMCancelJobStruc)));
    SMCancelJobStruc record;
    std::memset(&record, 0, sizeof record);
    record.JobID = gJobID;
    char name[256];
    copyName(name, PrinterName);
    int rc = 0;
    if (fnReadWriteMemory)
        rc = fnReadWriteMemory(SDK_Write, Write_JobID, name, &record);
    DbgMessage("StatusMonitorEnable", "Out. rc = %d", rc);
    return TRUE;
}

BOOL StatusMonitorDisable(const char *PrinterName)
{
    SMCancelJobStruc record;
    std::memset(&record, 0, sizeof record);
    if (gCancelJob.load(std::memory_order_acquire)) {
        record.JobID = gJobID;
        record.CancelReady = 1;
    } else {
        record.JobID = 0;
    }
    DbgMessage("StatusMonitorDisable", "JobID = %d", record.JobID);
    DbgMessage("StatusMonitorDisable", "CancelReady = %d", record.CancelReady);
    char name[256];
    copyName(name, PrinterName);
    if (fnReadWriteMemory) {
        fnReadWriteMemory(SDK_Write, Write_JobID, name, &record);
        fnReadWriteMemory(SDK_Write, Write_CancelReady, name, &record);
    }
    return TRUE;
}
