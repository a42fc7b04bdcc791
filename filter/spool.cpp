// The duplex and collation spool file: finished page records kept for the
// back-side-first order and for the copies the filter collates itself.
//
// Every job creates a file of its own in the shared folder, under a name
// nobody can know in advance, exclusively and private: jobs spooling at the
// same time never wait for each other, and nothing planted in the folder is
// ever opened, emptied or removed. The job holds the file's lock until the
// file is gone, so that a later job removes it only when this one was killed
// (leftovers.h).
#include "rasterpress.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <semaphore.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "leftovers.h"
#include "paths.h"
#include "velmora.h"

static FILE *gSpoolFileHandle = nullptr;
static std::string gSpolFileName;
static sem_t mutex;
static bool gSemReady = false;
static SpoolRecHeader gSpoolFileHeader = {0, 8};
static SpoolPageHeader gSpoolPageHeader = {0};
// Mirror of gSpoolFileHeader.pages for readers outside the semaphore.
static std::atomic<DWORD> gSpoolPages{0};

static void PutLE32(BYTE *p, DWORD v)
{
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
    p[2] = (BYTE)(v >> 16);
    p[3] = (BYTE)(v >> 24);
}

static DWORD GetLE32(const BYTE *p)
{
    return p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
}

static bool WriteFileHeader()
{
    BYTE b[8];
    PutLE32(b, gSpoolFileHeader.pages);
    PutLE32(b + 4, gSpoolFileHeader.bfOffBits);
    return fseek(gSpoolFileHandle, 0, SEEK_SET) == 0 && fwrite(b, 1, 8, gSpoolFileHandle) == 8 &&
           fflush(gSpoolFileHandle) == 0;
}

// The spool file name pattern inside its folder.
static const char *SpoolNameFmt()
{
    return strrchr(rpaths::kSpoolFileFmt, '/') + 1;
}

// Creates this job's spool file with a fresh name, held; -1 when none can be made.
static int CreateJobSpool(std::string &path)
{
    return CreateHeldUniqueAt(
        AT_FDCWD,
        [](unsigned tag) {
            char name[128];
            snprintf(name, sizeof name, rpaths::kSpoolFileFmt, gJobID, tag);
            return RootedPath(name);
        },
        O_RDWR, path);
}

bool IsSpoolFileName(const char *name)
{
    int id = 0;
    unsigned tag = 0;
    if (sscanf(name, SpoolNameFmt(), &id, &tag) != 2)
        return false;
    char made[128];
    snprintf(made, sizeof made, SpoolNameFmt(), id, tag);
    return strcmp(made, name) == 0;
}

BOOL SpoolCreate()
{
    static const char fn[] = "SpoolCreate";
    int fd = CreateJobSpool(gSpolFileName);
    if (fd < 0) {
        DbgMessage(fn, "create %s fail, errno = %d", gSpolFileName.c_str(), errno);
        gSpolFileName.clear();
        return FALSE;
    }
    gSpoolFileHandle = fdopen(fd, "w+b");
    if (!gSpoolFileHandle) {
        close(fd);
        DeleteFile(gSpolFileName.c_str());
        gSpolFileName.clear();
        return FALSE;
    }
    sem_init(&mutex, 0, 1);
    gSemReady = true;
    DbgMessage(fn, "sem_init");
    gSpoolFileHeader = {0, 8};
    gSpoolPages.store(0);
    if (!WriteFileHeader()) {
        DbgMessage(fn, "write spool header fail, errno = %d", errno);
        SpoolClose();
        return FALSE;
    }
    DbgMessage(fn, "gSpoolFileHeader size = %d", (int)sizeof(SpoolRecHeader));
    gSaveToFile.store(1, std::memory_order_release);
    return TRUE;
}

const char *SpoolFilePath()
{
    return gSpolFileName.c_str();
}

BOOL SpoolAppend(const BYTE *record, DWORD len)
{
    static const char fn[] = "JbigThread";
    BOOL ok = FALSE;
    sem_wait(&mutex);
    BYTE h[4];
    gSpoolPageHeader.dataLen = len;
    PutLE32(h, len);
    if (fseek(gSpoolFileHandle, 0, SEEK_END) == 0 && fwrite(h, 1, 4, gSpoolFileHandle) == 4 &&
        fwrite(record, 1, len, gSpoolFileHandle) == len) {
        DbgMessage(fn, "gSaveToFile = 1, gSpoolPageHeader.dataLen = %d", (int)gSpoolPageHeader.dataLen);
        gSpoolFileHeader.pages += 1;
        gSpoolFileHeader.bfOffBits = 8;
        if (WriteFileHeader()) {
            ok = TRUE;
            gSpoolPages.store(gSpoolFileHeader.pages, std::memory_order_release);
        } else {
            gSpoolFileHeader.pages -= 1;
        }
        DbgMessage(fn, "gSaveToFile = 1, gSpoolFileHeader.pages = %d", (int)gSpoolFileHeader.pages);
    }
    sem_post(&mutex);
    if (!ok) {
        // A page that cannot be kept would be missing from every copy: cancel the job.
        DbgMessage(fn, "spool write fail, errno = %d", errno);
        RasterError("Unable to write the spool file");
        gCancelJob.store(1, std::memory_order_release);
    }
    return ok;
}

DWORD SpoolPageCount()
{
    return gSpoolPages.load(std::memory_order_acquire);
}

// Walks from the first record to record `index`; leaves the file at its data.
static bool SeekRecord(DWORD index, DWORD *dataLen)
{
    if (fseek(gSpoolFileHandle, gSpoolFileHeader.bfOffBits, SEEK_SET) != 0)
        return false;
    for (DWORD count = 0;; count++) {
        BYTE h[4];
        if (fread(h, 1, 4, gSpoolFileHandle) != 4)
            return false;
        gSpoolPageHeader.dataLen = GetLE32(h);
        if (count == index) {
            *dataLen = gSpoolPageHeader.dataLen;
            return true;
        }
        if (fseek(gSpoolFileHandle, gSpoolPageHeader.dataLen, SEEK_CUR) != 0)
            return false;
    }
}

DWORD GetPageDataSize(DWORD index)
{
    static const char fn[] = "GetPageDataSize";
    DbgMessage(fn, "In");
    DWORD len = 0;
    if (!gSpoolFileHandle || index >= gSpoolFileHeader.pages)
        DbgMessage(fn, "Page Index %d Error, Total pages %d", (int)index, (int)gSpoolFileHeader.pages);
    else if (!SeekRecord(index, &len))
        len = 0;
    DbgMessage(fn, "Out, Tick = %d", (int)GetTickCount());
    return len;
}

BOOL GetPageData(DWORD index, DWORD outBufSize, BYTE *lpOutBuf)
{
    static const char fn[] = "GetPageData";
    DbgMessage(fn, "In");
    BOOL ok = FALSE;
    DWORD len = 0;
    if (!gSpoolFileHandle || index >= gSpoolFileHeader.pages) {
        DbgMessage(fn, "Page Index %d Error, Total pages %d", (int)index, (int)gSpoolFileHeader.pages);
    } else if (SeekRecord(index, &len)) {
        if (outBufSize < len) {
            DbgMessage(fn, "Page [%d] Buffer too Small %d / %d", (int)index, (int)outBufSize, (int)len);
        } else if (fread(lpOutBuf, 1, len, gSpoolFileHandle) == len) {
            DbgMessage(fn, "dataLen = %d", (int)len);
            ok = TRUE;
        }
    }
    DbgMessage(fn, "Out, Tick = %d", (int)GetTickCount());
    return ok;
}

bool SpoolSendRecord(DWORD k, const char *fn)
{
    DWORD size = GetPageDataSize(k);
    DbgMessage(fn, "Page[%d] pageSize = %d", (int)k, (int)size);
    BYTE *buf = size ? (BYTE *)malloc(size) : nullptr;
    bool ok = buf && GetPageData(k, size, buf);
    if (ok) {
        WritePort(buf, 1, size, stdout);
        ReportPageSent();
        count_bytes += size;
        gOutputSize += (int)size;
    }
    free(buf);
    if (!ok) {
        // A page left out would pair every later sheet wrongly: cancel the job, as for a failed append.
        DbgMessage(fn, "page %d cannot be read back, size = %d", (int)k, (int)size);
        RasterError("Unable to read page %u back from the spool file", (unsigned)k + 1);
        gCancelJob.store(1, std::memory_order_release);
    }
    return ok;
}

BOOL PJL_FlushPage(DWORD *finishpage, BOOL bDuplex)
{
    static const char fn[] = "PJL_FlushPage";
    DWORD i = *finishpage;
    DWORD n = SpoolPageCount();
    sem_wait(&mutex);
    DbgMessage(fn, "In");
    if (bDuplex)
        n &= ~1u; // only whole sheets
    DbgMessage(fn, "Total pages %d", (int)n);
    DbgMessage(fn, "startpage %d", (int)i);
    if (bDuplex) {
        for (; i < n; i += 2) {
            if (!SpoolSendRecord(i + 1, fn))
                break;
            *finishpage += 1;
            if (!SpoolSendRecord(i, fn))
                break;
            *finishpage += 1;
        }
    } else {
        for (; i < n; i++) {
            if (!SpoolSendRecord(i, fn))
                break;
            *finishpage += 1;
        }
    }
    sem_post(&mutex);
    DbgMessage(fn, "out");
    return TRUE;
}

// Writes `size` bytes of 0x01 and then of 0x00 over the file from its start.
static bool WriteOver(int fd, off_t size)
{
    std::vector<BYTE> chunk(65536);
    auto fill = [&](BYTE value) {
        std::fill(chunk.begin(), chunk.end(), value);
        for (off_t off = 0; off < size;) {
            size_t n = size - off < (off_t)chunk.size() ? (size_t)(size - off) : chunk.size();
            ssize_t w = pwrite(fd, chunk.data(), n, off);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            off += w;
        }
        return true;
    };
    bool ok = fill(0x01);
    return fill(0x00) && ok;
}

BOOL WipeFileContent(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && WriteOver(fd, st.st_size) ? TRUE : FALSE;
}

BOOL CleanFileContent(const char *filename)
{
    static const char fn[] = "CleanFileContent";
    DbgMessage(fn, "in, file name = %s", filename);
    struct stat st;
    if (stat(filename, &st) != 0) {
        DbgMessage(fn, "get file size fail!");
        return FALSE;
    }
    DbgMessage(fn, "size = %9jd", (intmax_t)st.st_size);
    int fd = OpenPrivate(filename, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        DbgMessage(fn, "Open file fail!");
        return FALSE;
    }
    bool ok = WriteOver(fd, st.st_size);
    int rc = close(fd) == 0 && ok;
    DbgMessage(fn, "rc = %d", rc);
    return rc ? TRUE : FALSE;
}

void SpoolClose()
{
    if (gSpoolFileHandle) {
        // Wiped and removed while our lock still says the file is in use.
        CleanFileContent(gSpolFileName.c_str());
        DeleteFile(gSpolFileName.c_str());
        fclose(gSpoolFileHandle);
        gSpoolFileHandle = nullptr;
    }
    gSpolFileName.clear();
    if (gSemReady) {
        sem_destroy(&mutex);
        gSemReady = false;
    }
    gSpoolFileHeader = {0, 8};
    gSpoolPages.store(0);
}
