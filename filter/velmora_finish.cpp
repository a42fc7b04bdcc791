// Bit-level finishing of the 1-bit page: inversion, mirror, turns, two-bit
// expansion, software toner saving and the black-dot count.
#include "velmora.h"

#include <cstdlib>
#include <cstring>

#include "rasterpress.h"

namespace {

constexpr BYTE BitReverse(BYTE b)
{
    BYTE r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r |= static_cast<BYTE>(0x80u >> i);
    return r;
}

struct ReverseTable {
    BYTE v[256];
    constexpr ReverseTable() : v()
    {
        for (int i = 0; i < 256; ++i)
            v[i] = BitReverse(static_cast<BYTE>(i));
    }
};
constexpr ReverseTable kReverse;

constexpr BYTE Toner1200(BYTE b)
{
    switch (b) {
    case 15: b = 9; break;
    case 30: b = 18; break;
    case 31: b = 17; break;
    case 60: b = 36; break;
    case 62: b = 34; break;
    case 63: b = 48; break;
    case 120: b = 72; break;
    case 124: b = 68; break;
    case 126: b = 96; break;
    case 239: b = 67; break;
    case 240: b = 144; break;
    case 248: b = 136; break;
    case 252: b = 192; break;
    case 254: b = 194; break;
    case 255: b = 195; break;
    default: break;
    }
    auto all = [&](unsigned mask) { return (b & mask) == mask; };
    if (all(0xE0)) b &= static_cast<BYTE>(~0x60);
    if (all(0x70)) b &= static_cast<BYTE>(~0x30);
    if (all(0x0E)) b &= static_cast<BYTE>(~0x06);
    if (all(0x07)) b &= static_cast<BYTE>(~0x03);
    if (all(0x28)) b &= static_cast<BYTE>(~0x10);
    if (all(0x1C)) b &= static_cast<BYTE>(~0x08);
    return b;
}

constexpr BYTE Nibble600(BYTE n, bool high)
{
    switch (n) {
    case 0x3: return high ? 0x3 : 0x2;
    case 0x6: return 0x4;
    case 0x7: return 0x4;
    case 0xC: return 0x8;
    case 0xE: return 0x8;
    case 0xF: return 0x9;
    default: return n;
    }
}

constexpr BYTE Toner600(BYTE b)
{
    return static_cast<BYTE>(Nibble600(b >> 4, true) << 4 | Nibble600(b & 0xF, false));
}

struct TonerTables {
    BYTE r1200[256];
    BYTE r600[256];
    constexpr TonerTables() : r1200(), r600()
    {
        for (int i = 0; i < 256; ++i) {
            r1200[i] = Toner1200(static_cast<BYTE>(i));
            r600[i] = Toner600(static_cast<BYTE>(i));
        }
    }
};
constexpr TonerTables kToner;

// Each nibble bit spread into the low bit of one byte, leftmost pixel in byte 0.
constexpr uint32_t Spread(unsigned n)
{
    uint32_t v = 0;
    for (int m = 0; m < 4; ++m)
        if (n & (8u >> m))
            v |= 1u << (8 * m);
    return v;
}

struct SpreadTable {
    uint32_t v[16];
    constexpr SpreadTable() : v()
    {
        for (unsigned n = 0; n < 16; ++n)
            v[n] = Spread(n);
    }
};
constexpr SpreadTable kSpread;

struct DotTable {
    BYTE v[256];
    constexpr DotTable() : v()
    {
        for (int i = 0; i < 256; ++i) {
            int c = 0;
            for (int b = 0; b < 8; ++b)
                c += (i >> b) & 1;
            v[i] = static_cast<BYTE>(c);
        }
    }
};
constexpr DotTable kDots;

} // namespace

const BYTE dottbl[256] = {
#define R4(n) kDots.v[n], kDots.v[n + 1], kDots.v[n + 2], kDots.v[n + 3]
#define R16(n) R4(n), R4(n + 4), R4(n + 8), R4(n + 12)
    R16(0), R16(16), R16(32), R16(48), R16(64), R16(80), R16(96), R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
#undef R4
};

void DoNegative(JobInfo *slot, int InvertHalfImage)
{
    DWORD len = slot->linebyte * slot->page_height;
    if (InvertHalfImage)
        len /= 2;
    DbgMessage("DoNegative", "In, len = %d", static_cast<int>(len));
    BYTE *p = slot->lpbuf;
    if (!p)
        return;
    DWORD words = len / 4;
    for (DWORD i = 0; i < words; ++i) {
        uint32_t w;
        memcpy(&w, p + 4 * i, 4);
        w = ~w;
        memcpy(p + 4 * i, &w, 4);
    }
    for (DWORD i = words * 4; i < len; ++i)
        p[i] = static_cast<BYTE>(~p[i]);
    DbgMessage("DoNegative", "Out");
}

void DoMirror(JobInfo *slot)
{
    DbgMessage("DoMirror", "In");
    DWORD tick = GetTickCount();
    BYTE *p = slot->lpbuf;
    DWORD lb = slot->linebyte;
    if (p && lb) {
        for (DWORD y = 0; y < slot->page_height; ++y) {
            BYTE *row = p + static_cast<size_t>(y) * lb;
            for (DWORD i = 0, j = lb - 1; i < j; ++i, --j) {
                BYTE t = kReverse.v[row[i]];
                row[i] = kReverse.v[row[j]];
                row[j] = t;
            }
            if (lb % 2)
                row[lb / 2] = kReverse.v[row[lb / 2]];
        }
    }
    DbgMessage("DoMirror", "Out, using %d ms", static_cast<int>(GetTickCount() - tick));
}

void Transpose_1BPP180(BYTE *bitmap, DWORD widthBytes, DWORD height)
{
    size_t n = static_cast<size_t>(widthBytes) * height;
    if (!bitmap || n == 0)
        return;
    size_t i = 0, j = n - 1;
    for (; i < j; ++i, --j) {
        BYTE t = kReverse.v[bitmap[i]];
        bitmap[i] = kReverse.v[bitmap[j]];
        bitmap[j] = t;
    }
    if (i == j)
        bitmap[i] = kReverse.v[bitmap[i]];
}

void MISC_1BPP90(const BYTE *src, BYTE *dst, DWORD srcstep, DWORD dststep, DWORD srcW, DWORD srcH)
{
    if (!src || !dst)
        return;
    DWORD groups = srcH / 8;
    DWORD cols = (srcW + 7) / 8;
    for (DWORD k = 0; k < groups; ++k) {
        // group k: source rows srcH-8k-8 .. srcH-8k-1; the bottom one is target bit 7
        const BYTE *rows[8];
        for (int i = 0; i < 8; ++i)
            rows[i] = src + static_cast<size_t>(srcH - 8 * k - 1 - i) * srcstep;
        for (DWORD j = 0; j < cols; ++j) {
            uint32_t hi = 0, lo = 0;
            for (int i = 0; i < 8; ++i) {
                BYTE b = rows[i][j];
                hi |= kSpread.v[b >> 4] << (7 - i);
                lo |= kSpread.v[b & 15] << (7 - i);
            }
            DWORD r0 = 8 * j;
            for (int m = 0; m < 8 && r0 + m < srcW; ++m) {
                uint32_t w = m < 4 ? hi : lo;
                dst[static_cast<size_t>(r0 + m) * dststep + k] = static_cast<BYTE>(w >> (8 * (m & 3)));
            }
        }
    }
}

BYTE *Prnt_AdjustData(const BYTE *data, DWORD len)
{
    DbgMessage("Prnt_AdjustData", "In, len = %d", static_cast<int>(len));
    static constexpr BYTE kExpand[16] = {0x00, 0x02, 0x08, 0x0A, 0x20, 0x22, 0x28, 0x2A,
                                         0x80, 0x82, 0x88, 0x8A, 0xA0, 0xA2, 0xA8, 0xAA};
    BYTE *out = static_cast<BYTE *>(malloc(static_cast<size_t>(len) * 2 + 1));
    if (!out || !data) {
        DbgMessage("Prnt_AdjustData", "Out, no memory");
        free(out);
        return nullptr;
    }
    for (DWORD i = 0; i < len; ++i) {
        out[2 * static_cast<size_t>(i)] = kExpand[data[i] >> 4];
        out[2 * static_cast<size_t>(i) + 1] = kExpand[data[i] & 15];
    }
    DbgMessage("Prnt_AdjustData", "Out");
    return out;
}

void Prnt_SimulateTonerSaving(JobInfo *slot)
{
    DbgMessage("Prnt_SimulateTonerSaving", "SCALE1200 = %d", slot->SCALE1200);
    int resolution = static_cast<int>(slot->inheader.HWResolution[0]);
    DbgMessage("Prnt_SimulateTonerSaving", "resolution = %d", resolution);
    int resolutionID = slot->SCALE1200 ? 600 : (resolution < 600 ? 600 : resolution);
    DbgMessage("Prnt_SimulateTonerSaving", "resolutionID = %d", resolutionID);
    const BYTE *map = resolutionID == 1200 ? kToner.r1200 : kToner.r600;
    BYTE *p = slot->lpbuf;
    if (!p)
        return;
    size_t n = static_cast<size_t>(slot->page_height) * slot->linebyte;
    for (size_t i = 0; i < n; ++i)
        p[i] = map[p[i]];
}

DWORD Prnt_CountBlackDots(const BYTE *data, DWORD bytes)
{
    DbgMessage("Prnt_CountBlackDots", "Start, ByteNo = %d", static_cast<int>(bytes));
    if (!data)
        return 0;
    DWORD sum = 0;
    for (DWORD i = 0; i < bytes; ++i)
        sum += dottbl[data[i]];
    return sum;
}
