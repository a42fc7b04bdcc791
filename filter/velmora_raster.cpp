// Raster input: header checks, the page reader, the red/black split, gray
// conversion and the page header log.
#include "velmora.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "header_word.h"
#include "rasterpress.h"

namespace {

constexpr uint64_t kMaxBuffer = 0xFFFFFFFFull; // sizes live in 32-bit slot fields
constexpr DWORD kMaxWidth = 65504;             // rows are sized in 16 bits downstream
// The printer line prints at 600 and 1200 dpi; 1200-dpi pages are halved for
// printers without true 1200 dpi, so nothing above 1200 can be printed. The
// floor is one pixel per point: coarser pages would be blown up more than
// eight times on their way to 600 dpi, into buffers far larger than the page.
constexpr unsigned kMinResolution = 72;
constexpr unsigned kMaxResolution = 1200;

uint64_t Align32(uint64_t v)
{
    return (v + 31) / 32 * 32;
}

uint64_t PhysicalMemory()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0)
        return kMaxBuffer;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One row of the red/black split; BPP bytes per pixel, the first three used.
template <int BPP> void SplitRow(const BYTE *src, BYTE *black, BYTE *red, DWORD pixels, unsigned diff)
{
    for (DWORD x = 0; x < pixels; ++x) {
        const BYTE *p = src + x * BPP;
        unsigned R = p[0], G = p[1], B = p[2];
        unsigned limit = R > diff ? R - diff : 0;
        unsigned mx = G > B ? G : B;
        if (mx < limit && R > 150) {
            for (int k = 0; k < BPP; ++k)
                red[x * BPP + k] = 0;
        } else {
            for (int k = 0; k < BPP; ++k)
                black[x * BPP + k] = p[k];
        }
    }
}

// One row of gray conversion; the weights sum to 100, so the result stays in 0..255.
template <int BPP> void GrayRow(const BYTE *src, BYTE *dst, DWORD pixels)
{
    for (DWORD x = 0; x < pixels; ++x) {
        const BYTE *p = src + x * BPP;
        unsigned g = (30u * p[0] + 53u * p[1] + 17u * p[2] + 1u) / 100u;
        dst[x] = static_cast<BYTE>(g >= 255 ? 255 : g);
    }
}

} // namespace

bool CheckPageHeader(const cups_page_header2_t *h, char *why, size_t whyLen)
{
    auto fail = [&](const char *fmt, auto... args) {
        snprintf(why, whyLen, fmt, args...);
        return false;
    };
    if (h->cupsWidth == 0 || h->cupsHeight == 0)
        return fail("Raster page has no pixels (%u x %u)", h->cupsWidth, h->cupsHeight);
    unsigned bpp = h->cupsBitsPerPixel;
    if (bpp != 8 && bpp != 24 && bpp != 32)
        return fail("Raster page has %u bits per pixel; only 8-bit gray and 24- or 32-bit colour are printed",
                    bpp);
    if (h->cupsBitsPerColor != 8)
        return fail("Raster page has %u bits per colour; only 8 are printed", h->cupsBitsPerColor);
    if (bpp > 8 && HeaderWord(h->cupsColorOrder) != CUPS_ORDER_CHUNKED)
        return fail("Raster page colour order %u is not supported", HeaderWord(h->cupsColorOrder));
    uint64_t bpl = (static_cast<uint64_t>(h->cupsWidth) * bpp + 7) / 8;
    if (h->cupsBytesPerLine != bpl)
        return fail("Raster page header is inconsistent: cupsBytesPerLine %u, expected %llu for %u pixels of "
                    "%u bits",
                    h->cupsBytesPerLine, static_cast<unsigned long long>(bpl), h->cupsWidth, bpp);
    if (h->cupsWidth > kMaxWidth)
        return fail("Raster page is too wide (%u pixels)", h->cupsWidth);
    if (h->HWResolution[0] == 0 || h->HWResolution[1] == 0)
        return fail("Raster page has no resolution");
    for (unsigned r : h->HWResolution)
        if (r < kMinResolution || r > kMaxResolution)
            return fail("Raster page resolution %u x %u dpi is out of range (%u to %u dpi)",
                        h->HWResolution[0], h->HWResolution[1], kMinResolution, kMaxResolution);
    if (h->PageSize[0] == 0 || h->PageSize[1] == 0)
        return fail("Raster page has no page size");
    uint64_t bytes = Align32(h->cupsHeight) * (Align32(h->cupsWidth) * bpp / 8);
    if (h->cupsInteger[4] == 1)
        bytes *= 2; // the red and black planes
    if (bytes > kMaxBuffer || bytes > PhysicalMemory())
        return fail("Raster page of %u x %u pixels needs %llu bytes, more than this system can hold", h->cupsWidth,
                    h->cupsHeight, static_cast<unsigned long long>(bytes));
    return true;
}

// Adds a white red plane under an 8-bit page that asks for two planes.
static bool AddWhitePlane(JobInfo *slot)
{
    size_t n = static_cast<size_t>(slot->pagesize);
    BYTE *p = static_cast<BYTE *>(realloc(slot->lpbuf, 2 * n));
    if (!p)
        return false;
    memset(p + n, 0xFF, n);
    slot->lpbuf = p;
    slot->page_height *= 2;
    slot->pagesize *= 2;
    return true;
}

// Allocates the white page and, unless blank, reads the raster into it.
static int ReadPage(JobInfo *slot, int blank, DWORD *BlackDot, const char *fn)
{
    const cups_page_header2_t &h = slot->inheader;
    char why[256];
    if (!CheckPageHeader(&h, why, sizeof why)) {
        RasterError("%s", why);
        DbgMessage(fn, "%s", why);
        return 0;
    }
    slot->page_width = static_cast<DWORD>(Align32(h.cupsWidth));
    slot->page_height = static_cast<DWORD>(Align32(h.cupsHeight));
    slot->linebyteLeft = slot->page_width - h.cupsWidth;
    slot->linebyte = slot->page_width * h.cupsBitsPerPixel / 8;
    slot->pagesize = slot->page_height * slot->linebyte;
    DbgMessage(fn, "page_width = %d, page_height = %d, linebyte = %d, pagesize = %u",
               static_cast<int>(slot->page_width), static_cast<int>(slot->page_height),
               static_cast<int>(slot->linebyte), slot->pagesize);

    BYTE *page = static_cast<BYTE *>(malloc(slot->pagesize));
    if (!page) {
        DbgMessage(fn, "malloc error");
        RasterError("Not enough memory for a page of %u bytes", slot->pagesize);
        return 0;
    }
    free(slot->lpbuf);
    slot->lpbuf = page;

    if (blank) {
        memset(page, 0xFF, slot->pagesize);
    } else {
        if (!slot->inras) {
            RasterError("No raster stream to read the page from");
            return 0;
        }
        // Each row is written once: raster bytes, then white pad; the
        // non-white count is taken while the row is still in cache.
        const DWORD bpl = h.cupsBytesPerLine;
        DWORD dots = 0;
        for (DWORD y = 0; y < h.cupsHeight; ++y) {
            BYTE *row = page + static_cast<size_t>(y) * slot->linebyte;
            if (cupsRasterReadPixels(slot->inras, row, bpl) != bpl) {
                RasterError("Raster page is truncated: line %u of %u could not be read", y + 1, h.cupsHeight);
                DbgMessage(fn, "read error at line %u", y);
                return 0;
            }
            memset(row + bpl, 0xFF, slot->linebyte - bpl);
            DWORD n = 0;
            for (DWORD i = 0; i < bpl; ++i)
                n += row[i] != 0xFF;
            dots += n;
        }
        memset(page + static_cast<size_t>(h.cupsHeight) * slot->linebyte, 0xFF,
               static_cast<size_t>(slot->page_height - h.cupsHeight) * slot->linebyte);
        *BlackDot = dots;
        DbgMessage(fn, "Black dot = %d", static_cast<int>(dots));
    }

    if (h.cupsBitsPerPixel > 8) {
        if (TwoPlane(slot) && !Page_24BitProcessRedColor(slot)) {
            DbgMessage(fn, "Page_24BitProcessRedColor fail!");
            RasterError("Not enough memory to split the red and black planes");
            return 0;
        }
        ImageToGray(slot);
        if (slot->linebyte != slot->page_width) {
            DbgMessage(fn, "ImageToGray fail!");
            RasterError("Not enough memory to convert the page to gray");
            return 0;
        }
    } else if (TwoPlane(slot) && !AddWhitePlane(slot)) {
        RasterError("Not enough memory for the red plane");
        return 0;
    }
    return 1;
}

int GetCUPSPageDataEx(JobInfo *slot, int blank, DWORD *BlackDot)
{
    static const char fn[] = "GetCUPSPageDataEx";
    DbgMessage(fn, "In, blank = %d", blank);
    double start = Seconds();
    DWORD dummy = 0;
    if (!BlackDot)
        BlackDot = &dummy;
    if (!ReadPage(slot, blank, BlackDot, fn)) {
        DropPage(slot);
        return 0;
    }
    // 8-bit and colour input: pass 1 runs here, before the worker starts.
    ImageCrop(slot);
    if (!DoScaling(slot)) {
        DbgMessage(fn, "DoScaling fail!");
        DropPage(slot);
        return 0;
    }
    if (!DoWholePage(slot)) {
        DbgMessage(fn, "DoWholePage fail!");
        DropPage(slot);
        return 0;
    }
    slot->flag.fetch_or(JOB_PASS1_DONE, std::memory_order_release);
    DbgMessage(fn, "get CUPS data using %f sec, rc = %d", Seconds() - start, 1);
    return 1;
}

int GetCUPSPageData(JobInfo *slot)
{
    static const char fn[] = "GetCUPSPageData";
    DbgMessage(fn, "In");
    DWORD dots = 0;
    if (!ReadPage(slot, 0, &dots, fn)) {
        DropPage(slot);
        return 0;
    }
    DbgMessage(fn, "Out");
    return 1;
}

int Page_24BitProcessRedColor(JobInfo *slot)
{
    static const char fn[] = "Page_24BitProcessRedColor";
    DbgMessage(fn, "In");
    const DWORD bytesPP = slot->inheader.cupsBitsPerPixel / 8;
    const size_t half = static_cast<size_t>(slot->linebyte) * slot->page_height;
    if (!slot->lpbuf || bytesPP < 3)
        return 0;
    BYTE *out = static_cast<BYTE *>(malloc(2 * half));
    if (!out) {
        DbgMessage(fn, "no memory");
        return 0;
    }
    memset(out, 0xFF, 2 * half);
    const unsigned diff = slot->inheader.cupsInteger[5] & 0xFF; // TwinColorDiff
    const DWORD pixels = slot->linebyte / bytesPP;
    for (DWORD y = 0; y < slot->page_height; ++y) {
        const BYTE *src = slot->lpbuf + static_cast<size_t>(y) * slot->linebyte;
        BYTE *black = out + static_cast<size_t>(y) * slot->linebyte;
        BYTE *red = black + half;
        if (bytesPP == 3)
            SplitRow<3>(src, black, red, pixels, diff);
        else
            SplitRow<4>(src, black, red, pixels, diff);
    }
    free(slot->lpbuf);
    slot->lpbuf = out;
    slot->page_height *= 2;
    slot->pagesize = slot->page_height * slot->linebyte;
    DbgMessage(fn, "Out");
    return 1;
}

void ImageToGray(JobInfo *slot)
{
    static const char fn[] = "ImageToGray";
    DbgMessage(fn, "In");
    const DWORD bytesPP = slot->inheader.cupsBitsPerPixel / 8;
    if (!slot->lpbuf || (bytesPP != 3 && bytesPP != 4))
        return;
    const DWORD target = GetBMPBytesPerLine(8, slot->page_width);
    BYTE *out = static_cast<BYTE *>(malloc(static_cast<size_t>(target) * slot->page_height));
    if (!out) {
        DbgMessage(fn, "no memory");
        return;
    }
    const DWORD used = slot->page_width - slot->linebyteLeft;
    for (DWORD y = 0; y < slot->page_height; ++y) {
        const BYTE *src = slot->lpbuf + static_cast<size_t>(y) * slot->linebyte;
        BYTE *dst = out + static_cast<size_t>(y) * target;
        if (bytesPP == 3)
            GrayRow<3>(src, dst, used);
        else
            GrayRow<4>(src, dst, used);
        memset(dst + used, 0xFF, target - used);
    }
    free(slot->lpbuf);
    slot->lpbuf = out;
    slot->linebyte = target;
    slot->pagesize = target * slot->page_height;
    DbgMessage(fn, "Out");
}

void DisplayPageInfo(const cups_page_header2_t *h)
{
    static const char fn[] = "DisplayPageInfo";
    DbgMessage(fn, "MediaClass = \"%.*s\"", static_cast<int>(sizeof h->MediaClass), h->MediaClass);
    DbgMessage(fn, "MediaColor = \"%.*s\"", static_cast<int>(sizeof h->MediaColor), h->MediaColor);
    DbgMessage(fn, "MediaType = \"%.*s\"", static_cast<int>(sizeof h->MediaType), h->MediaType);
    DbgMessage(fn, "OutputType = \"%.*s\"", static_cast<int>(sizeof h->OutputType), h->OutputType);
    DbgMessage(fn, "AdvanceDistance = %d", h->AdvanceDistance);
    DbgMessage(fn, "AdvanceMedia = %d", HeaderWord(h->AdvanceMedia));
    DbgMessage(fn, "Collate = %d", HeaderWord(h->Collate));
    DbgMessage(fn, "cupsBitsPerColor = %d", h->cupsBitsPerColor);
    DbgMessage(fn, "cupsBitsPerPixel = %d", h->cupsBitsPerPixel);
    DbgMessage(fn, "cupsBytesPerLine = %d", h->cupsBytesPerLine);
    DbgMessage(fn, "cupsColorOrder = %d", HeaderWord(h->cupsColorOrder));
    DbgMessage(fn, "cupsColorSpace = %d", HeaderWord(h->cupsColorSpace));
    DbgMessage(fn, "cupsCompression = %d (Density)", h->cupsCompression);
    DbgMessage(fn, "cupsHeight = %d", h->cupsHeight);
    DbgMessage(fn, "cupsInteger[0] = %d (TonerSave)", h->cupsInteger[0]);
    DbgMessage(fn, "cupsInteger[1] = %d (Invert)", h->cupsInteger[1]);
    DbgMessage(fn, "cupsInteger[2] = %d (Mirror)", h->cupsInteger[2]);
    DbgMessage(fn, "cupsInteger[3] = %d (zero edge)", h->cupsInteger[3]);
    DbgMessage(fn, "cupsInteger[4] = %d (ColorMode)", h->cupsInteger[4]);
    DbgMessage(fn, "cupsInteger[5] = %d (ColorLevel)", h->cupsInteger[5]);
    DbgMessage(fn, "cupsInteger[6] = %d (timeout)", h->cupsInteger[6]);
    DbgMessage(fn, "cupsInteger[7] = %d (scaling)", h->cupsInteger[7]);
    DbgMessage(fn, "cupsInteger[8] = %d (resolution)", h->cupsInteger[8]);
    DbgMessage(fn, "cupsInteger[10] = %d (Quality mode)", h->cupsInteger[10]);
    DbgMessage(fn, "cupsInteger[11] = %d (Authentication mode)", h->cupsInteger[11]);
    DbgMessage(fn, "cupsInteger[12] = %d (Authentication mode)", h->cupsInteger[12]);
    DbgMessage(fn, "cupsInteger[13] = %d (Fit to paper)", h->cupsInteger[13]);
    // The header text is bounded by its array, never taken as a format.
    DbgMessage(fn, "cupsString[0] = %.*s (Savetofile)", static_cast<int>(sizeof h->cupsString[0]),
               h->cupsString[0]);
    DbgMessage(fn, "cupsMediaType = %d (MediaType)", h->cupsMediaType);
    DbgMessage(fn, "cupsWidth = %d", h->cupsWidth);
    DbgMessage(fn, "CutMedia = %d", HeaderWord(h->CutMedia));
    DbgMessage(fn, "Duplex = %d (Duplex)", HeaderWord(h->Duplex));
    DbgMessage(fn, "HWResolution = [ %d %d ]", h->HWResolution[0], h->HWResolution[1]);
    DbgMessage(fn, "ImagingBoundingBox = [ %d %d %d %d ]", h->ImagingBoundingBox[0], h->ImagingBoundingBox[1],
               h->ImagingBoundingBox[2], h->ImagingBoundingBox[3]);
    DbgMessage(fn, "cupsImagingBBox = [ %f %f %f %f ]", static_cast<double>(h->cupsImagingBBox[0]),
               static_cast<double>(h->cupsImagingBBox[1]), static_cast<double>(h->cupsImagingBBox[2]),
               static_cast<double>(h->cupsImagingBBox[3]));
    DbgMessage(fn, "InsertSheet = %d", HeaderWord(h->InsertSheet));
    DbgMessage(fn, "Jog = %d", HeaderWord(h->Jog));
    DbgMessage(fn, "LeadingEdge = %d", HeaderWord(h->LeadingEdge));
    DbgMessage(fn, "ManualFeed = %d", HeaderWord(h->ManualFeed));
    DbgMessage(fn, "Margins = [ %d %d ]", h->Margins[0], h->Margins[1]);
    DbgMessage(fn, "MediaPosition = %d (Tray)", h->MediaPosition);
    DbgMessage(fn, "MediaWeight = %d", h->MediaWeight);
    DbgMessage(fn, "MirrorPrint = %d", HeaderWord(h->MirrorPrint));
    DbgMessage(fn, "NegativePrint = %d", HeaderWord(h->NegativePrint));
    DbgMessage(fn, "NumCopies = %d", h->NumCopies);
    DbgMessage(fn, "Orientation = %d", HeaderWord(h->Orientation));
    DbgMessage(fn, "OutputFaceUp = %d", HeaderWord(h->OutputFaceUp));
    DbgMessage(fn, "PageSize = [ %d %d ]", h->PageSize[0], h->PageSize[1]);
    DbgMessage(fn, "Separations = %d", HeaderWord(h->Separations));
    DbgMessage(fn, "TraySwitch = %d", HeaderWord(h->TraySwitch));
    DbgMessage(fn, "Tumble = %d (Duplex)", HeaderWord(h->Tumble));
}
