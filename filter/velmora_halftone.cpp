// Halftoning of the 8-bit page (gamma table and threshold matrices), the
// border-quality path and its 3 x 3 filter and lineart step.
#include "velmora.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "halftone_matrices.h"
#include "rasterpress.h"

const float gammaVal[10] = {0.4f, 0.6f, 1.0f, 1.35f, 2.0f, 2.35f, 3.5f, 4.5f, 6.0f, 8.0f};

const int FilterOutsideBorder[9] = {-2, -1, -2, -1, 12, -1, -2, -1, -2};

static bool IsA3(const JobInfo *slot)
{
    return (slot->DriverFeature & DRVF_A3) != 0;
}

static int Resolution(const JobInfo *slot)
{
    int r = static_cast<int>(slot->inheader.HWResolution[0]);
    return r < 600 ? 600 : r;
}

int SelectHalftoneType(const JobInfo *slot)
{
    bool a3 = IsA3(slot);
    bool lsu = HasCap(slot->Feature, CAP_LSU);
    auto class1200 = [&] {
        if (a3)
            return 4;
        return (slot->DriverFeature & DRVF_ZR4_CHIP) && lsu ? 8 : 3;
    };
    int r = Resolution(slot);
    if (r == 600) {
        if (slot->SCALE1200 && slot->inheader.cupsInteger[8] == 2)
            return class1200();
        if (lsu)
            return a3 ? 5 : 2;
        return 1;
    }
    if (r == 1200) {
        if (slot->SCALE1200)
            return class1200();
        return a3 ? 6 : 7;
    }
    return 0;
}

float HalftoneFixVal(int type, const JobInfo *slot)
{
    switch (type) {
    case 1:
    case 2:
        return IsA3(slot) ? 0.0f : 0.3f;
    case 8:
        return 1.0f;
    default:
        return 0.0f;
    }
}

int GammaChoice(const cups_page_header2_t *h)
{
    if (h->cupsInteger[0])
        return 2;
    // A density beyond the table takes the darkest setting.
    return h->cupsCompression > 9 ? 9 : static_cast<int>(h->cupsCompression);
}

void BuildGammaTable(float g, BYTE table[256])
{
    for (int i = 0; i < 256; ++i) {
        float q = static_cast<float>(i) / 255.0f;
        float p = static_cast<float>(std::pow(static_cast<double>(q), static_cast<double>(g)));
        float prod = 255.0f * p;
        double v = 0.5 + prod;
        table[i] = static_cast<BYTE>(v >= 255.0 ? 255 : static_cast<int>(v));
    }
}

// Threshold of one cell: the pixel turns white when its gray value reaches it.
// Never 0, so a black pixel (0) stays black; at most 254, so 255 is always white.
static inline BYTE CellThreshold(BYTE v)
{
    if (v >= 254)
        return 1;
    if (v == 0)
        return 254;
    return static_cast<BYTE>(255 - v);
}

// Packs eight 0/1 bytes into one byte, the first byte in the top bit.
static inline BYTE Pack8(const BYTE *c)
{
    uint64_t w;
    memcpy(&w, c, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<BYTE>((w * 0x0102040810204080ull) >> 56);
#else
    return static_cast<BYTE>((w * 0x8040201008040201ull) >> 56);
#endif
}

// One row: bit x of dst is set (white) when src[x] >= thr[x mod period].
// `thr` holds the matrix row repeated to 128 bytes so every 64-pixel block
// reads it without a modulo; the compare loop is written for the vectorizer.
static void HalftoneRow(const BYTE *src, BYTE *dst, DWORD width, const BYTE *__restrict thr,
                        DWORD period)
{
    BYTE c[64];
    DWORD x = 0;
    DWORD phase = 0;
    for (; x + 64 <= width; x += 64) {
        const BYTE *t = thr + phase;
        const BYTE *s = src + x;
        for (int k = 0; k < 64; ++k)
            c[k] = s[k] >= t[k];
        BYTE *d = dst + x / 8;
        for (int j = 0; j < 8; ++j)
            d[j] = Pack8(c + 8 * j);
        phase = (phase + 64) % period;
    }
    if (x < width) {
        DWORD n = width - x;
        memset(c, 0, sizeof c);
        for (DWORD k = 0; k < n; ++k)
            c[k] = src[x + k] >= thr[(phase + k) % period];
        BYTE *d = dst + x / 8;
        for (DWORD j = 0; j < (n + 7) / 8; ++j)
            d[j] = Pack8(c + 8 * j);
    }
}

static const char *const kUsing[HALFTONE_TYPES] = {
    "using FINE_TAry_128", "using FINE_TAry_128", "using LSU_106_Q38",  "using Tiboro2_212",
    "using Tovin_212",     "using Tovin_106",     "using Tovin_1200_160", "using ZR4_A4_1200_106LPI",
    "using A4_LSU_600_212LPI",
};

int ApplyHalftone(JobInfo *slot)
{
    DbgMessage("ApplyHalftone", "In");
    int r = Resolution(slot);
    DbgMessage("ApplyHalftone", "resolution = %d", r);
    DbgMessage("ApplyHalftone", "SCALE1200 = %d", slot->SCALE1200);
    int type = SelectHalftoneType(slot);
    const HalftoneMatrix &m = HalftoneMatrixFor(type);
    DbgMessage("ApplyHalftone", "HalftoneType = %d", type);
    DbgMessage("ApplyHalftone", "%s", kUsing[type]);
    DbgMessage("ApplyHalftone", "h_x = %d", m.size);
    DbgMessage("ApplyHalftone", "h_y = %d", m.size);

    DWORD height = slot->page_height;
    DWORD width = slot->linebyte; // one byte per pixel
    DWORD B = (slot->page_width / 8 + 3) / 4 * 4;
    if (!slot->lpbuf || !slot->linebyte || !B || !height || B * 8 < width) {
        DbgMessage("ApplyHalftone", "Argument Incorrect");
        return 0;
    }

    int choice = GammaChoice(&slot->inheader);
    DbgMessage("ApplyHalftone", "brightness = %d", 255);
    DbgMessage("ApplyHalftone", "select = %d", choice);
    float g = gammaVal[choice] + HalftoneFixVal(type, slot);
    DbgMessage("ApplyHalftone", "Gamma = %f", static_cast<double>(g));
    BYTE gamma[256];
    BuildGammaTable(g, gamma);

    // One row of thresholds per matrix row, repeated to a 128-byte multiple.
    const DWORD size = static_cast<DWORD>(m.size);
    const DWORD stride = size + 128;
    BYTE *T = static_cast<BYTE *>(malloc(static_cast<size_t>(size) * stride));
    if (!T) {
        DbgMessage("ApplyHalftone", "Halftone_tbl is NULL");
        return 0;
    }
    for (DWORD y = 0; y < size; ++y)
        for (DWORD x = 0; x < stride; ++x)
            T[y * stride + x] = CellThreshold(gamma[m.cells[y * size + x % size]]);

    DWORD tick = GetTickCount();
    // In place: output row y lies before input row y, and within a row each
    // output byte is written after the 64 input bytes of its block were read.
    BYTE *page = slot->lpbuf;
    const DWORD used = (width + 7) / 8;
    for (DWORD y = 0; y < height; ++y) {
        if (gCancelJob.load(std::memory_order_acquire)) {
            DbgMessage("ApplyHalftone", "Cancel job");
            free(T);
            return 0;
        }
        const BYTE *src = page + static_cast<size_t>(y) * slot->linebyte;
        BYTE *dst = page + static_cast<size_t>(y) * B;
        HalftoneRow(src, dst, width, T + (y % size) * stride, size);
        if (used < B)
            memset(dst + used, 0, B - used);
    }
    free(T);
    slot->linebyte = B;
    slot->pagesize = B * height;
    DbgMessage("ApplyHalftone", "using %d ms", static_cast<int>(GetTickCount() - tick));
    DbgMessage("ApplyHalftone", "Apply Halftone Finish");
    return 1;
}

int ApplyFilter3x3(JobInfo *slot, BYTE *buf, int bits, const int *filterArray, int filterArrayWidth)
{
    DbgMessage("ApplyFilter3x3", "In, bits = %d, width = %d", bits, filterArrayWidth);
    if (!buf || !filterArray || bits != 8 || filterArrayWidth != 3)
        return 0;
    int divisor = 0;
    for (int i = 0; i < 9; ++i)
        divisor += filterArray[i];
    if (divisor < 1)
        divisor = 1;
    DbgMessage("ApplyFilter3x3", "MatrixCount = %d", divisor);
    int reach = 0;
    for (int i = 0; i < 9; ++i)
        reach += filterArray[i] < 0 ? -filterArray[i] : filterArray[i];
    const bool small = reach <= 32767 / 255; // |sum| stays within 16 bits
    const DWORD W = slot->page_width;
    const DWORD H = slot->page_height;
    if (!W || !H)
        return 0;
    // The rows above and below each row are read in their original state: a
    // copy of the row above and of the current row travels down the page,
    // the row below is still untouched. The first and last rows repeat.
    BYTE *work = static_cast<BYTE *>(malloc(static_cast<size_t>(W) * 2));
    if (!work) {
        DbgMessage("ApplyFilter3x3", "no memory");
        return 0;
    }
    BYTE *prev = work, *cur = work + W;
    memcpy(prev, buf, W);
    memcpy(cur, buf, W);
    const int *k = filterArray;
    for (DWORD y = 0; y < H; ++y) {
        if (gCancelJob.load(std::memory_order_acquire)) {
            DbgMessage("ApplyFilter3x3", "Cancel job");
            free(work);
            return 0;
        }
        // The last row's lower neighbour is itself, as it was.
        const BYTE *next = y + 1 < H ? buf + static_cast<size_t>(y + 1) * W : cur;
        const BYTE *rows[3] = {prev, cur, next};
        BYTE *out = buf + static_cast<size_t>(y) * W;
        // The first and last pixel stand in for their missing neighbour.
        auto edge = [&](DWORD x) {
            DWORD xl = x ? x - 1 : x;
            DWORD xr = x + 1 < W ? x + 1 : x;
            int sum = 0;
            for (int r = 0; r < 3; ++r)
                sum += k[3 * r] * rows[r][xl] + k[3 * r + 1] * rows[r][x] + k[3 * r + 2] * rows[r][xr];
            int v = sum / divisor;
            out[x] = static_cast<BYTE>(v < 0 ? 0 : (v > 255 ? 255 : v));
        };
        edge(0);
        if (W > 1)
            edge(W - 1);
        const BYTE *a = rows[0], *b = rows[1], *c = rows[2];
        const int k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5], k6 = k[6], k7 = k[7], k8 = k[8];
        if (divisor == 1 && small) {
            // The border kernel: no division, and every sum fits 16 bits, so
            // the vectorizer gets 16-bit lanes.
            const int16_t s0 = int16_t(k0), s1 = int16_t(k1), s2 = int16_t(k2), s3 = int16_t(k3), s4 = int16_t(k4),
                          s5 = int16_t(k5), s6 = int16_t(k6), s7 = int16_t(k7), s8 = int16_t(k8);
            for (DWORD x = 1; x + 1 < W; ++x) {
                int16_t sum = int16_t(s0 * a[x - 1] + s1 * a[x] + s2 * a[x + 1] + s3 * b[x - 1] + s4 * b[x] +
                                      s5 * b[x + 1] + s6 * c[x - 1] + s7 * c[x] + s8 * c[x + 1]);
                out[x] = static_cast<BYTE>(sum < 0 ? 0 : (sum > 255 ? 255 : sum));
            }
        } else {
            for (DWORD x = 1; x + 1 < W; ++x) {
                int sum = k0 * a[x - 1] + k1 * a[x] + k2 * a[x + 1] + k3 * b[x - 1] + k4 * b[x] + k5 * b[x + 1] +
                          k6 * c[x - 1] + k7 * c[x] + k8 * c[x + 1];
                int v = sum / divisor;
                out[x] = static_cast<BYTE>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
        // Keep the original of this row as the next row's upper neighbour.
        BYTE *t = prev;
        prev = cur;
        cur = t;
        if (y + 1 < H)
            memcpy(cur, buf + static_cast<size_t>(y + 1) * W, W);
    }
    free(work);
    DbgMessage("ApplyFilter3x3", "Out");
    return 1;
}

int GrayToLineart(JobInfo *slot, BYTE *buf, int threshold)
{
    DbgMessage("GrayToLineart", "In, threshold = %d", threshold);
    const DWORD W = slot->page_width;
    const DWORD H = slot->page_height;
    const DWORD B = W / 8;
    if (!buf)
        return 0;
    // In place, as in ApplyHalftone: each output byte lies before the input it covers.
    for (DWORD y = 0; y < H; ++y) {
        const BYTE *src = buf + static_cast<size_t>(y) * W;
        BYTE *dst = buf + static_cast<size_t>(y) * B;
        BYTE c[64];
        DWORD j = 0;
        for (; j + 8 <= B; j += 8) {
            for (int k = 0; k < 64; ++k)
                c[k] = src[8 * j + k] > threshold;
            for (int m = 0; m < 8; ++m)
                dst[j + m] = Pack8(c + 8 * m);
        }
        for (; j < B; ++j) {
            for (int k = 0; k < 8; ++k)
                c[k] = src[8 * j + k] > threshold;
            dst[j] = Pack8(c);
        }
    }
    DbgMessage("GrayToLineart", "Out");
    return 1;
}

int DoBorderQuality(JobInfo *slot)
{
    DbgMessage("DoBorderQuality", "In");
    const DWORD W = slot->page_width;
    const DWORD H = slot->page_height;
    if (!slot->lpbuf || !W || !H)
        return 0;
    size_t n = static_cast<size_t>(W) * H;
    BYTE *copy = static_cast<BYTE *>(malloc(n));
    if (!copy) {
        DbgMessage("DoBorderQuality", "no memory");
        return 0;
    }
    DbgMessage("DoBorderQuality", "Copy Image Data");
    memcpy(copy, slot->lpbuf, n);
    DbgMessage("DoBorderQuality", "Apply Filter");
    if (!ApplyFilter3x3(slot, copy, 8, FilterOutsideBorder, 3)) {
        free(copy);
        return 0;
    }
    DbgMessage("DoBorderQuality", "Convert to Lineart");
    if (!GrayToLineart(slot, copy, 80) || !ApplyHalftone(slot)) {
        free(copy);
        return 0;
    }
    DbgMessage("DoBorderQuality", "Merge Halftone and Filter");
    size_t m = static_cast<size_t>(H) * (W / 8);
    BYTE *page = slot->lpbuf;
    for (size_t i = 0; i < m; ++i)
        page[i] &= static_cast<BYTE>(~copy[i]);
    slot->linebyte = W / 8;
    slot->pagesize = H * slot->linebyte;
    free(copy);
    DbgMessage("DoBorderQuality", "Out");
    return 1;
}
