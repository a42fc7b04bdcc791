// Pass 1 of the page geometry: cut or fit to the printable area, the user's
// scaling and the resolution rule, and the whole-paper canvas.
#include "velmora.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rasterpress.h"

namespace {

constexpr uint64_t kMaxBuffer = 0xFFFFFFFFull;

int64_t Align32(int64_t v)
{
    return (v + 31) / 32 * 32;
}

// Pixels across the printable part (12 points off each side) of `points`.
int64_t Printable(uint64_t resolution, uint64_t points)
{
    if (points <= 24 || resolution == 0 || resolution > 100000)
        return 0;
    return static_cast<int64_t>(resolution * (points - 24) / 72);
}

// Pixels of the canvas ImageCrop makes for a page of w x h points at R dpi.
uint64_t PrintablePixels(uint64_t R, uint64_t w, uint64_t h)
{
    return static_cast<uint64_t>(Align32(Printable(R, w))) * static_cast<uint64_t>(Align32(Printable(R, h)));
}

// The whole-paper canvas DoWholePage places the page on, before alignment.
struct WholePageArea {
    const cups_page_header2_t *ref; // the reference page whose paper it is
    uint64_t R;                     // output resolution
    int NeedCrop;
    int64_t width, height;
};

WholePageArea WholePageFor(const JobInfo *slot)
{
    const cups_page_header2_t &page = slot->inheader;
    const cups_page_header2_t &H = (slot->DriverFeature & DRVF_A3) ? page : ginheader_bak;
    WholePageArea a;
    a.ref = &H;
    a.R = (slot->SCALE1200 || page.HWResolution[0] < 600) ? 600 : page.HWResolution[0];
    bool known = false;
    for (const PAPERFORMAT &row : gPaperFormat)
        if (row.enable && row.w == static_cast<int64_t>(H.PageSize[0]) &&
            row.h == static_cast<int64_t>(H.PageSize[1]))
            known = true;
    a.NeedCrop = !known ? 2 : (page.cupsInteger[7] != 0 && page.cupsInteger[7] != 100 ? 1 : 0);
    a.width = Printable(a.R, H.PageSize[0]);
    a.height = Printable(a.R, H.PageSize[1]);
    if (a.NeedCrop == 2 && (static_cast<float>(H.PageSize[0]) > slot->MaxMediaWidth ||
                            static_cast<float>(H.PageSize[1]) > slot->MaxMediaHeight)) {
        float w = (slot->MaxMediaWidth - 24.0f) * static_cast<float>(a.R) / 72.0f;
        float h = (slot->MaxMediaHeight - 24.0f) * static_cast<float>(a.R) / 72.0f;
        a.width = w > 0.0f && w < 1e9f ? static_cast<int64_t>(w) : 0;
        a.height = h > 0.0f && h < 1e9f ? static_cast<int64_t>(h) : 0;
    }
    return a;
}

DWORD Planes(const JobInfo *slot)
{
    return TwoPlane(slot) ? 2 : 1;
}

// A buffer of w x h x planes bytes, filled white; null when it cannot be had.
BYTE *WhiteBuffer(int64_t w, int64_t h, DWORD planes)
{
    if (w <= 0 || h <= 0)
        return nullptr;
    uint64_t n = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * planes;
    if (n > kMaxBuffer)
        return nullptr;
    BYTE *p = static_cast<BYTE *>(malloc(n));
    if (p)
        memset(p, 0xFF, n);
    return p;
}

void Install(JobInfo *slot, BYTE *buf, DWORD width, DWORD planeHeight, DWORD rowBytes)
{
    free(slot->lpbuf);
    slot->lpbuf = buf;
    slot->page_width = width;
    slot->page_height = planeHeight * Planes(slot);
    slot->linebyte = rowBytes;
    slot->pagesize = rowBytes * slot->page_height;
}

// The bilinear scaler; never writes more than maxRows target rows.
DWORD Scale(const BYTE *src, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE *trg, DWORD trgWidth, int Xratio,
            int Yratio, WORD colorbits, DWORD maxRows)
{
    static const char fn[] = "ScaleImage";
    if (!src || !trg || !srcWidth || !srcHigh || Xratio <= 0 || Yratio <= 0)
        return 0;
    const DWORD bpp = colorbits <= 8 ? 1 : colorbits / 8u;
    const float Xrate = static_cast<float>(Xratio) / 1000.0f;
    const float Yrate = static_cast<float>(Yratio) / 1000.0f;
    const DWORD rows = static_cast<DWORD>(static_cast<float>(lines) * Yrate);
    DbgMessage(fn, "In, %u x %u -> %u x %u", srcWidth, srcHigh, trgWidth, rows);

    std::vector<DWORD> left, right;
    std::vector<float> fxs;
    try {
        left.resize(trgWidth);
        right.resize(trgWidth);
        fxs.resize(trgWidth);
    } catch (...) {
        DbgMessage(fn, "no memory");
        return 0;
    }
    const float xoff = Xrate > 1.0f ? 0.0f : 1.0f - Xrate;
    const float lastCol = static_cast<float>(srcWidth - 1);
    for (DWORD x = 0; x < trgWidth; ++x) {
        float sx = static_cast<float>(x) / Xrate + xoff;
        if (sx > lastCol)
            sx = lastCol;
        DWORD ix = static_cast<DWORD>(sx);
        if (ix > srcWidth - 1)
            ix = srcWidth - 1;
        left[x] = ix * bpp;
        right[x] = (ix + 1 < srcWidth ? ix + 1 : ix) * bpp;
        fxs[x] = sx - static_cast<float>(ix);
    }

    const float yoff = Yrate > 1.0f ? 0.0f : 1.0f - Yrate;
    const size_t srcStride = static_cast<size_t>(srcWidth) * bpp;
    const size_t trgStride = static_cast<size_t>(trgWidth) * bpp;
    const DWORD n = rows < maxRows ? rows : maxRows;

    // One byte per pixel (every page stage): the samples of a source row are
    // gathered once into float rows, so the weighting loop runs over plain
    // arrays and vectorizes; the arithmetic is the same step by step.
    std::vector<float> omfx, cache[2][2];
    DWORD cached[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    if (bpp == 1) {
        try {
            omfx.resize(trgWidth);
            for (auto &c : cache)
                for (auto &v : c)
                    v.resize(trgWidth);
        } catch (...) {
            DbgMessage(fn, "no memory");
            return 0;
        }
        for (DWORD x = 0; x < trgWidth; ++x)
            omfx[x] = 1.0f - fxs[x];
    }
    // Slot of the two-row cache holding the gathered (left, right) samples of
    // source row `sy`; slot `keep` is never evicted.
    auto gather = [&](DWORD sy, int keep) -> int {
        for (int i = 0; i < 2; ++i)
            if (cached[i] == sy)
                return i;
        const int slot = keep == 0 ? 1 : 0;
        const BYTE *row = src + sy * srcStride;
        float *l = cache[slot][0].data(), *r = cache[slot][1].data();
        for (DWORD x = 0; x < trgWidth; ++x) {
            l[x] = row[left[x]];
            r[x] = row[right[x]];
        }
        cached[slot] = sy;
        return slot;
    };

    for (DWORD y = 0; y < n; ++y) {
        if (gCancelJob.load(std::memory_order_acquire)) {
            DbgMessage(fn, "Cancel job");
            return rows;
        }
        float sy = static_cast<float>(y) / Yrate + yoff;
        DWORD iy = static_cast<DWORD>(sy);
        if (iy > srcHigh - 1)
            iy = srcHigh - 1;
        const float fy = sy - static_cast<float>(iy);
        const DWORD low = iy + 1 > srcHigh - 1 ? srcHigh - 1 : iy + 1;
        BYTE *t = trg + y * trgStride;
        if (bpp == 1) {
            const int i0 = gather(iy, cached[0] == low ? 0 : 1);
            const int i1 = gather(low, i0);
            const float *L0 = cache[i0][0].data(), *R0 = cache[i0][1].data();
            const float *L1 = cache[i1][0].data(), *R1 = cache[i1][1].data();
            const float *FX = fxs.data(), *OMFX = omfx.data();
            const float omfy = 1.0f - fy;
            for (DWORD x = 0; x < trgWidth; ++x) {
                const float a = omfy * FX[x], b = fy * FX[x], c = omfy * OMFX[x], d = fy * OMFX[x];
                int v = static_cast<int>(a * R0[x]);
                v = static_cast<int>(static_cast<float>(v) + b * R1[x]);
                v = static_cast<int>(static_cast<float>(v) + c * L0[x]);
                v = static_cast<int>(static_cast<float>(v) + d * L1[x]);
                v = static_cast<int>(static_cast<float>(v) + 2.99f);
                t[x] = static_cast<BYTE>(v > 254 ? 255 : v);
            }
            // The +2.99 lift must not turn solid black (every weighted sample
            // 0) into a gray that the screen speckles; such pixels came out as 2.
            unsigned twos = 0;
            for (DWORD x = 0; x < trgWidth; ++x)
                twos |= t[x] == 2;
            for (DWORD x = 0; twos && x < trgWidth; ++x)
                if (t[x] == 2) {
                    const float a = omfy * FX[x], b = fy * FX[x], c = omfy * OMFX[x], d = fy * OMFX[x];
                    if (a * R0[x] + b * R1[x] + c * L0[x] + d * L1[x] == 0.0f)
                        t[x] = 0;
                }
            continue;
        }
        const BYTE *s0 = src + iy * srcStride;
        const BYTE *s1 = src + low * srcStride;
        for (DWORD x = 0; x < trgWidth; ++x) {
            const float fx = fxs[x];
            const float a = (1.0f - fy) * fx, b = fy * fx, c = (1.0f - fy) * (1.0f - fx), d = fy * (1.0f - fx);
            for (DWORD k = 0; k < bpp; ++k) {
                int v = static_cast<int>(a * s0[right[x] + k]);
                v = static_cast<int>(static_cast<float>(v) + b * s1[right[x] + k]);
                v = static_cast<int>(static_cast<float>(v) + c * s0[left[x] + k]);
                v = static_cast<int>(static_cast<float>(v) + d * s1[left[x] + k]);
                v = static_cast<int>(static_cast<float>(v) + 2.99f);
                const float ink = a * s0[right[x] + k] + b * s1[right[x] + k] + c * s0[left[x] + k] +
                                  d * s1[left[x] + k];
                v = ink == 0.0f ? 0 : v;
                t[x * bpp + k] = static_cast<BYTE>(v > 254 ? 255 : v);
            }
        }
    }
    DbgMessage(fn, "Out, rows = %u", rows);
    return rows;
}

} // namespace

DWORD ScaleImage(const BYTE *srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE *trglpbuf, DWORD trgWidth,
                 int Xratio, int Yratio, WORD colorbits)
{
    return Scale(srclpbuf, srcWidth, srcHigh, lines, trglpbuf, trgWidth, Xratio, Yratio, colorbits, 0xFFFFFFFFu);
}

void ImageCrop(JobInfo *slot)
{
    static const char fn[] = "ImageCrop";
    const cups_page_header2_t &h = slot->inheader;
    DbgMessage(fn, "In");
    if (h.ImagingBoundingBox[0] != 0 || h.ImagingBoundingBox[1] != 0 || !slot->lpbuf) {
        DbgMessage(fn, "Out, nothing to do");
        return;
    }
    const uint64_t R = h.HWResolution[0];
    const int64_t width = Align32(Printable(R, h.PageSize[0]));
    const int64_t height = Align32(Printable(R, h.PageSize[1]));
    DbgMessage(fn, "width = %d", static_cast<int>(width));
    DbgMessage(fn, "height = %d", static_cast<int>(height));
    if (width <= 0 || height <= 0 || h.cupsWidth == 0 || h.cupsHeight == 0) {
        DbgMessage(fn, "Out, no printable area");
        return;
    }
    const DWORD planes = Planes(slot);
    const DWORD planeH = slot->page_height / planes;
    const DWORD W = static_cast<DWORD>(width), H = static_cast<DWORD>(height);

    if (h.cupsInteger[3] == 1) {
        DbgMessage(fn, "ImageCrop:: scale process");
        float xRate = static_cast<float>(width) / static_cast<float>(h.cupsWidth);
        float yRate = static_cast<float>(height) / static_cast<float>(h.cupsHeight);
        DbgMessage(fn, "xRate = %f", static_cast<double>(xRate));
        DbgMessage(fn, "yRate = %f", static_cast<double>(yRate));
        BYTE *out = WhiteBuffer(width, height, planes);
        if (!out) {
            DbgMessage(fn, "alloc memory fail!");
            return;
        }
        // Each plane by itself, so the red plane keeps its registration.
        for (DWORD p = 0; p < planes; ++p)
            Scale(slot->lpbuf + static_cast<size_t>(p) * planeH * slot->linebyte, slot->page_width, planeH, planeH,
                  out + static_cast<size_t>(p) * H * W, W, static_cast<int>(xRate * 1000.0f),
                  static_cast<int>(yRate * 1000.0f), 8, H);
        Install(slot, out, W, H, W);
        DbgMessage(fn, "Out");
        return;
    }

    DbgMessage(fn, "crop process");
    const DWORD xMargin = slot->page_width > W ? (slot->page_width - W) / 2 : 0;
    const DWORD yMargin = planeH > H ? (planeH - H) / 2 : 0;
    const DWORD cols = W < slot->page_width ? W : slot->page_width;
    const DWORD rows = H < planeH ? H : planeH;
    if (W <= slot->page_width && H <= planeH) {
        // In place: every target row starts at or before its source row.
        for (DWORD p = 0; p < planes; ++p)
            for (DWORD y = 0; y < H; ++y)
                memmove(slot->lpbuf + (static_cast<size_t>(p) * H + y) * W,
                        slot->lpbuf + (static_cast<size_t>(p) * planeH + yMargin + y) * slot->linebyte + xMargin,
                        W);
        slot->page_width = W;
        slot->page_height = H * planes;
        slot->linebyte = W;
        slot->pagesize = W * slot->page_height;
    } else {
        // A raster smaller than the printable area keeps its top-left corner; the rest is white.
        BYTE *out = WhiteBuffer(width, height, planes);
        if (!out) {
            DbgMessage(fn, "alloc memory fail!");
            return;
        }
        for (DWORD p = 0; p < planes; ++p)
            for (DWORD y = 0; y < rows; ++y)
                memcpy(out + (static_cast<size_t>(p) * H + y) * W,
                       slot->lpbuf + (static_cast<size_t>(p) * planeH + yMargin + y) * slot->linebyte + xMargin,
                       cols);
        Install(slot, out, W, H, W);
    }
    DbgMessage(fn, "Out");
}

// The most pixels `pixelsOf` gives for the printer's largest paper (w x h points).
template <typename PixelsOf>
static uint64_t LargestPaper(float MaxMediaWidth, float MaxMediaHeight, PixelsOf pixelsOf)
{
    uint64_t paper = 0;
    if (MaxMediaWidth > 0.0f && MaxMediaHeight > 0.0f && MaxMediaWidth < 1e6f && MaxMediaHeight < 1e6f)
        paper = pixelsOf(static_cast<uint64_t>(MaxMediaWidth), static_cast<uint64_t>(MaxMediaHeight));
    for (const PAPERFORMAT &row : gPaperFormat)
        if (row.enable && row.w > 0 && row.h > 0)
            paper = std::max(paper, pixelsOf(static_cast<uint64_t>(row.w), static_cast<uint64_t>(row.h)));
    return paper;
}

uint64_t LargestPaperPixels(const cups_page_header2_t *h, float MaxMediaWidth, float MaxMediaHeight)
{
    // Paper sizes and imageable areas of a fraction of a point are rounded on their way
    // to whole points and pixels: a real page of the paper may come out a little larger.
    enum { kRoundingPoints = 2 };
    return LargestPaper(MaxMediaWidth, MaxMediaHeight, [h](uint64_t w, uint64_t hgt) {
        return ((w + kRoundingPoints) * h->HWResolution[0] / 72) *
               ((hgt + kRoundingPoints) * h->HWResolution[1] / 72);
    });
}

bool CheckPageCanvas(const cups_page_header2_t *h, float MaxMediaWidth, float MaxMediaHeight, char *why,
                     size_t whyLen)
{
    // The raster is read whole first, and a compressed one of a few kilobytes can declare
    // gigabytes of pixels: no more than a page of the largest paper at its resolution.
    const uint64_t raster = static_cast<uint64_t>(h->cupsWidth) * h->cupsHeight;
    const uint64_t sheet = LargestPaperPixels(h, MaxMediaWidth, MaxMediaHeight);
    if (sheet > 0 && raster > sheet) { // no paper known (a broken queue description): no such limit
        snprintf(why, whyLen,
                 "Raster page of %u x %u pixels at %u x %u dpi is larger than any paper of this printer",
                 h->cupsWidth, h->cupsHeight, h->HWResolution[0], h->HWResolution[1]);
        return false;
    }
    if (h->ImagingBoundingBox[0] != 0 || h->ImagingBoundingBox[1] != 0)
        return true; // ImageCrop leaves the page as it is
    const uint64_t R = h->HWResolution[0];
    const uint64_t canvas = PrintablePixels(R, h->PageSize[0], h->PageSize[1]);
    // As much as a page of the printer's largest paper costs anyway; more only for a page
    // its raster covers (a raster covers its page or its imageable area; the height taken
    // at the first resolution makes the canvas up to 4 times the raster for 1200 x 300 dpi),
    // and then no more than 4 such pages.
    const uint64_t paper = LargestPaper(MaxMediaWidth, MaxMediaHeight,
                                        [R](uint64_t w, uint64_t hgt) { return PrintablePixels(R, w, hgt); });
    const uint64_t covered =
        4 * static_cast<uint64_t>(Align32(h->cupsWidth)) * static_cast<uint64_t>(Align32(h->cupsHeight));
    if (canvas <= paper || (canvas <= covered && (paper == 0 || canvas <= 4 * paper)))
        return true;
    snprintf(
        why, whyLen,
        "Page size %u x %u points at %u dpi is larger than any paper of this printer and far larger than "
        "the %u x %u pixels of the raster",
        h->PageSize[0], h->PageSize[1], h->HWResolution[0], h->cupsWidth, h->cupsHeight);
    return false;
}

BOOL DoScaling(JobInfo *slot)
{
    static const char fn[] = "DoScaling";
    const cups_page_header2_t &h = slot->inheader;
    const int X = static_cast<int>(h.HWResolution[0]);
    const int ratio = static_cast<int>(h.cupsInteger[7]);
    const bool present = ratio != 0 && ratio != 100;
    const int64_t P0 = present ? ratio : 100;
    DbgMessage(fn, "In, resolution = %d, ratio = %d, SCALE1200 = %d", X, ratio, slot->SCALE1200);
    if (X <= 0)
        return TRUE;
    int64_t P;
    if (slot->SCALE1200 && X == 1200)
        P = P0 * 600 / 1200;
    else if (X < 600)
        P = P0 * 600 / X;
    else if (!present)
        return TRUE; // 600 dpi or more, nothing asked
    else if (!slot->SCALE1200 && X == 1200)
        P = P0;
    else
        P = P0 * 600 / X;
    DbgMessage(fn, "P = %d", static_cast<int>(P));

    const DWORD planes = Planes(slot);
    const DWORD planeH = slot->page_height / planes;
    int64_t newW = P * slot->page_width / 100;
    int64_t newH = P * planeH / 100;
    if (P <= 0 || P > 100000 || newW <= 0 || newH <= 0) {
        RasterError("Scaling of %d percent cannot be applied to this page", static_cast<int>(P));
        DbgMessage(fn, "out, rc = %d", 0);
        return FALSE;
    }
    // The whole-paper canvas keeps the top-left part of the scaled page and cuts the
    // rest: only that part is made, so a large percentage costs no more than the paper.
    const WholePageArea area = WholePageFor(slot);
    if (area.width > 0 && area.height > 0) {
        newW = std::min(newW, Align32(area.width));
        newH = std::min(newH, Align32(area.height));
    }
    BYTE *out = WhiteBuffer(newW, newH, planes);
    if (!out) {
        RasterError("Not enough memory to scale the page to %lld x %lld pixels", static_cast<long long>(newW),
                    static_cast<long long>(newH));
        DbgMessage(fn, "out, rc = %d", 0);
        return FALSE;
    }
    const DWORD W = static_cast<DWORD>(newW), H = static_cast<DWORD>(newH);
    for (DWORD p = 0; p < planes; ++p)
        Scale(slot->lpbuf + static_cast<size_t>(p) * planeH * slot->linebyte, slot->page_width, planeH, planeH,
              out + static_cast<size_t>(p) * H * W, W, static_cast<int>(P * 10), static_cast<int>(P * 10), 8, H);
    Install(slot, out, W, H, W);
    DbgMessage(fn, "out, rc = %d", 1);
    return TRUE;
}

int DoWholePage(JobInfo *slot)
{
    static const char fn[] = "DoWholePage";
    const cups_page_header2_t &page = slot->inheader;
    const WholePageArea area = WholePageFor(slot);
    const cups_page_header2_t &H = *area.ref;
    DbgMessage(fn, "In, resolution = %d", static_cast<int>(area.R));
    if (!slot->lpbuf)
        return 0;
    DbgMessage(fn, "NeedCrop = %d", area.NeedCrop);

    const int64_t width = area.width, height = area.height;
    const int64_t AW = Align32(width), AH = Align32(height);
    DbgMessage(fn, "alignment width = %d", static_cast<int>(AW));
    DbgMessage(fn, "alignment height = %d", static_cast<int>(AH));
    if (width <= 0 || height <= 0) {
        // Every later stage works on rows of whole 32-pixel groups: without a canvas there are none.
        RasterError("Page size %u x %u points leaves no printable area", H.PageSize[0], H.PageSize[1]);
        DbgMessage(fn, "Out, no canvas");
        return 0;
    }
    const bool bytePixels = page.cupsBitsPerPixel >= 8;
    const int64_t rowBytes = bytePixels ? AW : AW / 8;
    const DWORD planes = Planes(slot);
    const DWORD planeH = slot->page_height / planes;
    const DWORD srcCols = bytePixels ? slot->page_width : (slot->page_width + 7) / 8;
    if (rowBytes <= srcCols && rowBytes <= slot->linebyte && AH <= planeH) {
        // The page covers the whole canvas: cut it in place, nothing to fill.
        for (DWORD p = 0; p < planes; ++p)
            for (DWORD y = 0; y < AH; ++y) {
                BYTE *dst = slot->lpbuf + (static_cast<size_t>(p) * AH + y) * rowBytes;
                const BYTE *src = slot->lpbuf + (static_cast<size_t>(p) * planeH + y) * slot->linebyte;
                if (dst != src)
                    memmove(dst, src, rowBytes);
            }
        slot->page_width = static_cast<DWORD>(AW);
        slot->page_height = static_cast<DWORD>(AH) * planes;
        slot->linebyte = static_cast<DWORD>(rowBytes);
        slot->pagesize = slot->linebyte * slot->page_height;
        DbgMessage(fn, "Out");
        return 1;
    }
    BYTE *out = WhiteBuffer(rowBytes, AH, planes);
    if (!out) {
        RasterError("Not enough memory for a page canvas of %lld x %lld pixels", static_cast<long long>(AW),
                    static_cast<long long>(AH));
        DbgMessage(fn, "Out, no memory");
        return 0;
    }
    const DWORD rows = static_cast<DWORD>(AH < planeH ? AH : planeH);
    DWORD cols = srcCols;
    if (cols > rowBytes)
        cols = static_cast<DWORD>(rowBytes);
    if (cols > slot->linebyte)
        cols = slot->linebyte;
    for (DWORD p = 0; p < planes; ++p)
        for (DWORD y = 0; y < rows; ++y)
            memcpy(out + (static_cast<size_t>(p) * AH + y) * rowBytes,
                   slot->lpbuf + (static_cast<size_t>(p) * planeH + y) * slot->linebyte, cols);
    Install(slot, out, static_cast<DWORD>(AW), static_cast<DWORD>(AH), static_cast<DWORD>(rowBytes));
    DbgMessage(fn, "Out");
    return 1;
}
