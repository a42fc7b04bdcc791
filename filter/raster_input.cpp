// Reading the raster input and telling how it ended.
//
// libcups answers a failed header read with 0 whether the input ended
// cleanly, broke off inside the header, or held a header it refuses. The
// read function below sees every byte libcups takes: the input ended cleanly
// only when the first read of a header found the end of the input and that
// read asked for the whole header (so libcups had no bytes of it buffered).
#include "raster_input.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

ssize_t ReadInput(void *ctx, unsigned char *buf, size_t len)
{
    RasterInput &in = *static_cast<RasterInput *>(ctx);
    ssize_t n;
    do {
        n = read(in.fd, buf, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        in.readErrno = errno;
    else if (n == 0 && len > 0)
        in.eof = true;
    if (n > 0) {
        for (size_t i = 0; i < (size_t)n && in.delivered + i < sizeof in.sync; i++)
            in.sync[in.delivered + i] = buf[i];
        in.delivered += (size_t)n;
    }
    if (in.inHeader && in.headerCalls++ == 0) {
        in.headerFirstAsked = len;
        in.headerFirstGot = n > 0 ? (size_t)n : 0;
    }
    return n;
}

// Bytes of one page header in this kind of stream, as libcups reads it.
size_t HeaderBytes(const RasterInput &in)
{
    uint32_t sync;
    memcpy(&sync, in.sync, sizeof sync);
    switch (sync) {
    case CUPS_RASTER_SYNCv1:
    case CUPS_RASTER_REVSYNCv1:
        return sizeof(cups_page_header_t);
    case CUPS_RASTER_SYNCapple:
    case CUPS_RASTER_REVSYNCapple:
        return 32;
    default:
        return sizeof(cups_page_header2_t);
    }
}

// libcups's own reason, on one line; empty when it gave none.
std::string LibraryReason()
{
    const char *e = cupsRasterErrorString();
    std::string s = e ? e : "";
    for (char &c : s)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

} // namespace

cups_raster_t *RasterOpenInput(RasterInput &in, int fd)
{
    in = RasterInput();
    in.fd = fd;
    cups_raster_t *ras = cupsRasterOpenIO(ReadInput, &in, CUPS_RASTER_READ);
    in.opened = ras != nullptr;
    return ras;
}

bool RasterReadHeader(RasterInput &in, cups_raster_t *ras, cups_page_header2_t *h)
{
    in.inHeader = true;
    in.headerCalls = 0;
    in.headerFirstAsked = in.headerFirstGot = 0;
    bool ok = cupsRasterReadHeader2(ras, h) != 0;
    in.inHeader = false;
    if (ok)
        in.headersRead++;
    return ok;
}

std::string RasterEndProblem(const RasterInput &in)
{
    if (in.readErrno)
        return std::string("Unable to read the raster input: ") + strerror(in.readErrno);
    if (!in.opened) {
        // Nothing at all is a job without pages; anything else must start a raster stream.
        if (in.delivered == 0 && in.eof)
            return "";
        if (in.delivered < sizeof in.sync)
            return "The print data ends before the raster stream starts";
        std::string why = LibraryReason();
        return "The print data is not a CUPS raster stream" + (why.empty() ? "" : " (" + why + ")");
    }
    bool cleanEnd =
        in.headerCalls > 0 && in.headerFirstGot == 0 && in.eof && in.headerFirstAsked == HeaderBytes(in);
    if (cleanEnd)
        return "";
    char what[128];
    unsigned page = in.headersRead + 1;
    if (in.eof) {
        snprintf(what, sizeof what, "The raster input ends inside the header of page %u", page);
        return what;
    }
    snprintf(what, sizeof what, "The raster header of page %u is damaged", page);
    std::string why = LibraryReason();
    return what + (why.empty() ? std::string() : ": " + why);
}
