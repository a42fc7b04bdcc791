// Win32-named shims, clock, memory probe, small parsers and the debug log.
#include "velmora.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "paths.h"
#include "rasterpress.h"

void Sleep(DWORD ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

BOOL DeleteFile(const char *path)
{
    return remove(path) == 0 ? TRUE : FALSE;
}

enum : DWORD { MOVE_PIECE = 60000 };

void MoveMemory(void *dest, const void *src, DWORD count)
{
    BYTE *d = static_cast<BYTE *>(dest);
    const BYTE *s = static_cast<const BYTE *>(src);
    if (d > s && d < s + count) {
        // Forward pieces would overwrite source bytes not yet moved: go back to front.
        DWORD left = count;
        while (left > 0) {
            DWORD n = left % MOVE_PIECE ? left % MOVE_PIECE : MOVE_PIECE;
            left -= n;
            memmove(d + left, s + left, n);
        }
        return;
    }
    for (DWORD off = 0; off < count; off += MOVE_PIECE) {
        DWORD n = count - off < MOVE_PIECE ? count - off : MOVE_PIECE;
        memmove(d + off, s + off, n);
    }
}

void CopyMemory(void *dest, const void *src, DWORD count)
{
    MoveMemory(dest, src, count);
}

HGLOBAL GlobalAlloc(DWORD, size_t size)
{
    return malloc(size);
}

HGLOBAL GlobalFree(HGLOBAL mem)
{
    free(mem);
    return nullptr;
}

DWORD GetTickCount()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    DWORD v = static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
    DbgMessage("GetTickCount", "%d", static_cast<int>(v));
    return v;
}

uint64_t getTotalSystemMemory()
{
    long pages = sysconf(_SC_AVPHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages < 0 || pageSize < 0)
        return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

int str2Int(const char *s)
{
    // Unsigned accumulation: an over-long digit string wraps instead of being undefined.
    unsigned v = 0;
    if (s)
        for (; *s >= '0' && *s <= '9'; ++s)
            v = v * 10u + static_cast<unsigned>(*s - '0');
    return static_cast<int>(v);
}

WORD GetBMPBytesPerLine(WORD bitcolor, DWORD width)
{
    DWORD n;
    switch (bitcolor) {
    case 1:
        n = ((width + 7) / 8 + 3) / 4 * 4;
        break;
    case 4:
        n = ((width + 1) / 2 + 3) / 4 * 4;
        break;
    case 8:
        n = (width + 3) / 4 * 4;
        break;
    case 24:
        n = (3 * width + 3) / 4 * 4;
        break;
    default:
        n = 0;
    }
    return static_cast<WORD>(n);
}

// Writes all of buf with one write where possible, so lines of different
// threads never mix.
static void WriteAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

enum { LOG_LINE_SIZE = 2048 };

// Appends `text` at line[pos] and returns the new end, leaving room for a line
// feed within `cap` bytes. CUPS reads standard error line by line, so a line
// feed or carriage return from a job's text (title, user, options, raster
// strings, the accounting answer) would start a control line of its own: each
// is written as the two characters "\n" or "\r" instead. What does not fit is
// cut, never inside a UTF-8 character.
static size_t AppendOnOneLine(char *line, size_t cap, size_t pos, const char *text)
{
    const size_t start = pos;
    const char *c = text;
    for (; *c; ++c) {
        const bool escaped = *c == '\n' || *c == '\r';
        if (pos + (escaped ? 2 : 1) >= cap)
            break;
        if (escaped) {
            line[pos++] = '\\';
            line[pos++] = *c == '\n' ? 'n' : 'r';
        } else {
            line[pos++] = *c;
        }
    }
    if ((static_cast<unsigned char>(*c) & 0xC0) == 0x80) {
        // Cut inside a character: its first bytes go too.
        while (pos > start && (static_cast<unsigned char>(line[pos - 1]) & 0xC0) == 0x80)
            --pos;
        if (pos > start && (static_cast<unsigned char>(line[pos - 1]) & 0xC0) == 0xC0)
            --pos;
    }
    return pos;
}

void CupsLine(const char *prefix, const char *text)
{
    char line[CUPS_LINE_MAX];
    size_t pos = AppendOnOneLine(line, sizeof line, 0, prefix);
    pos = AppendOnOneLine(line, sizeof line, pos, text);
    line[pos++] = '\n';
    WriteAll(STDERR_FILENO, line, pos);
}

static void CupsLineV(const char *prefix, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
static void CupsLineV(const char *prefix, const char *format, va_list ap)
{
    char msg[LOG_LINE_SIZE];
    if (vsnprintf(msg, sizeof msg, format, ap) < 0)
        msg[0] = '\0';
    CupsLine(prefix, msg);
}

void CupsLinef(const char *prefix, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    CupsLineV(prefix, format, ap);
    va_end(ap);
}

void DbgMessage(const char *funcName, const char *format, ...)
{
    int savedErrno = errno; // callers log errno-based messages after us
    char msg[LOG_LINE_SIZE];
    va_list ap;
    va_start(ap, format);
    if (vsnprintf(msg, sizeof msg, format, ap) < 0)
        msg[0] = '\0';
    va_end(ap);

    std::string dir = RootedPath(rpaths::kLogDir);
    // The folder is used only when nobody else can plant files in it.
    int logDir = access(dir.c_str(), R_OK | W_OK) == 0 ? OpenTrustedDir(dir) : -1;
    char head[160];
    if (logDir < 0) {
        snprintf(head, sizeof head, "DEBUG: [---filter---][--%s--] ", funcName ? funcName : "");
        CupsLine(head, msg);
        errno = savedErrno;
        return;
    }
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    snprintf(head, sizeof head, "[%04d/%02d/%02d %02d:%02d:%02d] [Job %d] [---filter---][--%s--] ",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, gJobID,
             funcName ? funcName : "");
    char line[LOG_LINE_SIZE];
    size_t pos = AppendOnOneLine(line, sizeof line, 0, head);
    pos = AppendOnOneLine(line, sizeof line, pos, msg);
    line[pos++] = '\n';
    int fd = OpenPrivateAt(logDir, rpaths::kLogFileInDir, O_WRONLY | O_CREAT | O_APPEND);
    if (fd >= 0) {
        WriteAll(fd, line, pos);
        close(fd);
    }
    close(logDir);
    errno = savedErrno;
}

void RasterError(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    CupsLineV("ERROR: ", format, ap);
    va_end(ap);
    gJobFailed.store(1, std::memory_order_release);
}
