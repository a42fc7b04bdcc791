// Bitmap finishing: the byte cases of each operation and the properties the
// printer relies on (turns restore, toner saving only removes toner).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "stage_fixtures.h"

namespace {

// A 1-bit slot with the given rows (each `bytes` long).
struct BitSlot {
    JobInfo slot{};
    BitSlot(std::vector<BYTE> data, DWORD linebyte, DWORD resolution = 600)
    {
        slot.linebyte = linebyte;
        slot.page_height = static_cast<DWORD>(data.size()) / linebyte;
        slot.page_width = linebyte * 8;
        slot.pagesize = static_cast<DWORD>(data.size());
        slot.lpbuf = static_cast<BYTE *>(malloc(data.size()));
        memcpy(slot.lpbuf, data.data(), data.size());
        slot.inheader.HWResolution[0] = slot.inheader.HWResolution[1] = resolution;
    }
    ~BitSlot() { free(slot.lpbuf); }
    std::vector<BYTE> bytes() const { return std::vector<BYTE>(slot.lpbuf, slot.lpbuf + slot.pagesize); }
};

int Pixel(const std::vector<BYTE> &b, DWORD stride, DWORD x, DWORD y)
{
    return (b[y * stride + x / 8] >> (7 - x % 8)) & 1;
}

} // namespace

TEST(Finishing, NegativeCoversTrailingBytesAndHalfImage)
{
    // 2 rows of 7 bytes: 14 bytes, not a multiple of 4.
    std::vector<BYTE> in(14);
    for (int i = 0; i < 14; ++i)
        in[i] = static_cast<BYTE>(i * 17);
    BitSlot all(in, 7);
    DoNegative(&all.slot, 0);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(all.slot.lpbuf[i], static_cast<BYTE>(~in[i])) << i;

    BitSlot half(in, 7);
    DoNegative(&half.slot, 1);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(half.slot.lpbuf[i], i < 7 ? static_cast<BYTE>(~in[i]) : in[i]) << i;
}

TEST(Finishing, MirrorAndHalfTurnByteCases)
{
    struct Case {
        std::vector<BYTE> in;
        DWORD linebyte;
        std::vector<BYTE> mirror, turn;
    } cases[] = {
        {{0x80, 0x00}, 2, {0x00, 0x01}, {0x00, 0x01}},
        {{0x80, 0x00, 0x00}, 3, {0x00, 0x00, 0x01}, {0x00, 0x00, 0x01}},
        {{0xC0, 0x01, 0x00, 0xF0}, 2, {0x80, 0x03, 0x0F, 0x00}, {0x0F, 0x00, 0x80, 0x03}},
        {{0x12, 0x34, 0x56}, 3, {0x6A, 0x2C, 0x48}, {0x6A, 0x2C, 0x48}}, // odd middle byte reversed too
    };
    for (const Case &c : cases) {
        BitSlot m(c.in, c.linebyte);
        DoMirror(&m.slot);
        EXPECT_EQ(m.bytes(), c.mirror);
        std::vector<BYTE> t = c.in;
        Transpose_1BPP180(t.data(), c.linebyte, static_cast<DWORD>(t.size()) / c.linebyte);
        EXPECT_EQ(t, c.turn);
        Transpose_1BPP180(t.data(), c.linebyte, static_cast<DWORD>(t.size()) / c.linebyte);
        EXPECT_EQ(t, c.in) << "two half turns restore the page";
    }
}

TEST(Finishing, QuarterTurnMatchesItsDefinition)
{
    // Top-left pixel only: it goes to the top-right of the target.
    {
        const DWORD w = 32, h = 16, src = 4, dst = (h + 7) / 8;
        std::vector<BYTE> in(src * h, 0), out(dst * w, 0xEE);
        in[0] = 0x80;
        MISC_1BPP90(in.data(), out.data(), src, dst, w, h);
        for (DWORD r = 0; r < w; ++r)
            for (DWORD c = 0; c < h; ++c)
                EXPECT_EQ(Pixel(out, dst, c, r), r == 0 && c == h - 1 ? 1 : 0) << r << "," << c;
    }
    // A random page: target (r, c) = source (srcH - 1 - c, r) everywhere.
    std::mt19937 rng(5);
    const DWORD w = 64, h = 40, src = 8, dst = 5;
    std::vector<BYTE> in(src * h), out(dst * w);
    for (BYTE &b : in)
        b = static_cast<BYTE>(rng());
    MISC_1BPP90(in.data(), out.data(), src, dst, w, h);
    for (DWORD r = 0; r < w; ++r)
        for (DWORD c = 0; c < h; ++c)
            ASSERT_EQ(Pixel(out, dst, c, r), Pixel(in, src, r, h - 1 - c)) << r << "," << c;
}

TEST(Finishing, TwoBitExpansion)
{
    std::vector<BYTE> in = {0xF0, 0x81, 0x00, 0xFF};
    BYTE *out = Prnt_AdjustData(in.data(), 4);
    ASSERT_NE(out, nullptr);
    std::vector<BYTE> got(out, out + 8);
    free(out);
    EXPECT_EQ(got, (std::vector<BYTE>{0xAA, 0x00, 0x80, 0x02, 0x00, 0x00, 0xAA, 0xAA}));
}

TEST(Finishing, TonerSavingByteCases)
{
    struct Case {
        BYTE in, at1200, at600;
    } cases[] = {
        {0xFF, 0xC3, 0x99}, {0xAA, 0xAA, 0xAA}, {0x18, 0x18, 0x18}, {0x7E, 0x60, 0x48},
        {0x00, 0x00, 0x00}, {0x0F, 0x09, 0x09}, {0x33, 0x33, 0x32}, {0xE0, 0x80, 0x80},
    };
    for (const Case &c : cases) {
        // 1200 rules only with true 1200 dpi; SCALE1200 or 600 dpi input use the 600 rules.
        BitSlot a({c.in}, 1, 1200);
        Prnt_SimulateTonerSaving(&a.slot);
        EXPECT_EQ(a.slot.lpbuf[0], c.at1200) << std::hex << int(c.in);
        BitSlot b({c.in}, 1, 1200);
        b.slot.SCALE1200 = 1;
        Prnt_SimulateTonerSaving(&b.slot);
        EXPECT_EQ(b.slot.lpbuf[0], c.at600) << std::hex << int(c.in);
        BitSlot d({c.in}, 1, 300);
        Prnt_SimulateTonerSaving(&d.slot);
        EXPECT_EQ(d.slot.lpbuf[0], c.at600) << std::hex << int(c.in);
    }
}

TEST(Finishing, TonerSavingNeverAddsToner)
{
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<BYTE>(i);
    for (DWORD res : {600u, 1200u}) {
        BitSlot s(all, 16, res);
        Prnt_SimulateTonerSaving(&s.slot);
        for (int i = 0; i < 256; ++i)
            EXPECT_EQ(s.slot.lpbuf[i] & ~i, 0) << res << " dpi, byte " << i;
    }
}

TEST(Finishing, BlackDotCount)
{
    BYTE d[] = {0xFF, 0x01};
    EXPECT_EQ(Prnt_CountBlackDots(d, 2), 9u);
    EXPECT_EQ(Prnt_CountBlackDots(nullptr, 10), 0u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(dottbl[i], __builtin_popcount(i));
}
