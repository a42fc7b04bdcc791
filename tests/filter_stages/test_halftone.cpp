// Halftoning: screen choice, gamma, the exact per-pixel rule against a plain
// reference, tone reproduction of every matrix, and the border-quality path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "halftone_matrices.h"
#include "stage_fixtures.h"

namespace {

void SetCap(JobInfo *s, int cap)
{
    s->Feature[cap >> 3] |= static_cast<BYTE>(1u << (cap & 7));
}

// The rule written out plainly: white when the gray value reaches the
// threshold derived from the gamma-corrected cell.
int ReferenceThreshold(const BYTE gamma[256], BYTE cell)
{
    int v = gamma[cell];
    if (v >= 254)
        return 1;
    if (v == 0)
        return 254;
    return 255 - v;
}

// Page settings that select each halftone type.
void ReachType(JobInfo *s, int type)
{
    static const struct {
        unsigned dpi;
        int scale, lsu, zr4, a3;
    } how[HALFTONE_TYPES] = {{2400, 0, 0, 0, 0}, {600, 0, 0, 0, 0},  {600, 0, 1, 0, 0},
                             {1200, 1, 0, 0, 0}, {1200, 1, 0, 0, 1}, {600, 0, 1, 0, 1},
                             {1200, 0, 0, 0, 1}, {1200, 0, 0, 0, 0}, {1200, 1, 1, 1, 0}};
    s->inheader.HWResolution[0] = how[type].dpi;
    s->SCALE1200 = how[type].scale;
    s->Feature[0] = s->Feature[1] = 0;
    if (how[type].lsu)
        SetCap(s, CAP_LSU);
    s->DriverFeature = (how[type].zr4 ? DWORD(DRVF_ZR4_CHIP) : 0u) | (how[type].a3 ? DWORD(DRVF_A3) : 0u);
}

} // namespace

TEST(Halftone, ScreenChoice)
{
    struct Case {
        unsigned dpi;
        int scale1200, lowPower, lsu, zr4, a3;
        int type;
        float fix;
    } cases[] = {
        {600, 0, 0, 0, 0, 0, 1, 0.3f},  {600, 0, 0, 0, 0, 1, 1, 0.0f},  {600, 0, 0, 1, 0, 0, 2, 0.3f},
        {600, 0, 0, 1, 0, 1, 5, 0.0f},  {300, 0, 0, 0, 0, 0, 1, 0.3f},  {2400, 0, 0, 1, 1, 0, 0, 0.0f},
        {1200, 0, 0, 0, 0, 0, 7, 0.0f}, {1200, 0, 0, 0, 0, 1, 6, 0.0f}, {1200, 1, 0, 1, 1, 0, 8, 1.0f},
        {1200, 1, 0, 1, 0, 0, 3, 0.0f}, {1200, 1, 0, 0, 1, 0, 3, 0.0f}, {1200, 1, 0, 0, 0, 1, 4, 0.0f},
        {600, 1, 2, 1, 1, 0, 8, 1.0f},  {600, 1, 2, 0, 0, 0, 3, 0.0f},  {600, 0, 2, 0, 0, 0, 1, 0.3f},
    };
    for (const Case &c : cases) {
        TestSlot s(32, 32, 0x80, c.dpi);
        s->SCALE1200 = c.scale1200;
        s->inheader.cupsInteger[8] = c.lowPower ? 2 : 0;
        if (c.lsu)
            SetCap(s.get(), CAP_LSU);
        s->DriverFeature = (c.zr4 ? DWORD(DRVF_ZR4_CHIP) : 0u) | (c.a3 ? DWORD(DRVF_A3) : 0u);
        EXPECT_EQ(SelectHalftoneType(s.get()), c.type) << c.dpi << " dpi lsu " << c.lsu << " zr4 " << c.zr4 << " a3 " << c.a3;
        EXPECT_FLOAT_EQ(HalftoneFixVal(c.type, s.get()), c.fix) << "type " << c.type;
    }
    EXPECT_STREQ(HalftoneMatrixFor(7).name, "ZR4_A4_1200_106LPI");
    EXPECT_STREQ(HalftoneMatrixFor(8).name, "A4_LSU_600_212LPI");
}

TEST(Halftone, GammaChoiceAndTable)
{
    cups_page_header2_t h = GrayHeader(32, 32, 600);
    struct Case {
        unsigned tonerSave, density;
        int choice;
    } cases[] = {{0, 0, 0}, {0, 2, 2}, {0, 9, 9}, {1, 9, 2}, {5, 0, 2}, {0, 10, 9}, {0, 4000000000u, 9}};
    for (const Case &c : cases) {
        h.cupsInteger[0] = c.tonerSave;
        h.cupsCompression = c.density;
        EXPECT_EQ(GammaChoice(&h), c.choice) << c.tonerSave << "/" << c.density;
    }
    // Type 1, density 2, ordinary printer: exponent 1.0 + 0.3.
    BYTE g[256];
    BuildGammaTable(gammaVal[2] + 0.3f, g);
    EXPECT_EQ(g[0], 0);
    EXPECT_EQ(g[255], 255);
    EXPECT_EQ(g[128], static_cast<BYTE>(0.5 + 255.0 * std::pow(128.0 / 255.0, 1.3)));
    BuildGammaTable(1.0f, g);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(g[i], i);
    for (int i = 1; i < 10; ++i)
        EXPECT_GT(gammaVal[i], gammaVal[i - 1]);
}

TEST(Halftone, EveryPixelFollowsTheThresholdRule)
{
    // Random gray pages, wider than the matrix and ending in a 32-pixel tail,
    // taller than it; every screen and a few densities.
    std::mt19937 rng(11);
    for (int type = 0; type < HALFTONE_TYPES; ++type)
        for (unsigned density : {0u, 3u, 9u}) {
            const HalftoneMatrix &m = HalftoneMatrixFor(type);
            const DWORD w = 2 * m.size + 96, h = m.size + 40;
            TestSlot s(w, h, 0, 600);
            for (DWORD i = 0; i < w * h; ++i)
                s->lpbuf[i] = static_cast<BYTE>(rng());
            std::vector<BYTE> gray(s->lpbuf, s->lpbuf + w * h);
            ReachType(s.get(), type);
            s->inheader.cupsCompression = density;
            ASSERT_EQ(SelectHalftoneType(s.get()), type);
            ASSERT_EQ(ApplyHalftone(s.get()), 1);
            ASSERT_EQ(s->linebyte, w / 8);
            ASSERT_EQ(s->pagesize, w / 8 * h);

            BYTE g[256];
            BuildGammaTable(gammaVal[density] + HalftoneFixVal(type, s.get()), g);
            for (DWORD y = 0; y < h; ++y)
                for (DWORD x = 0; x < w; ++x) {
                    BYTE n = gray[y * w + x];
                    BYTE cell = m.cells[(y % m.size) * m.size + x % m.size];
                    int want = n != 0 && n >= ReferenceThreshold(g, cell);
                    ASSERT_EQ(s.bit(x, y), want) << m.name << " density " << density << " at " << x << "," << y;
                }
        }
}

TEST(Halftone, BlackStaysBlackAndWhiteStaysWhite)
{
    for (int type = 0; type < HALFTONE_TYPES; ++type)
        for (unsigned density = 0; density < 10; ++density) {
            TestSlot s(256, 256, 0xFF, 600);
            for (DWORD y = 0; y < 256; ++y)
                memset(s->lpbuf + y * 256, 0, 128);
            ReachType(s.get(), type);
            s->inheader.cupsCompression = density;
            ASSERT_EQ(ApplyHalftone(s.get()), 1);
            for (DWORD y = 0; y < 256; ++y)
                for (DWORD x = 0; x < 256; ++x)
                    ASSERT_EQ(s.bit(x, y), x >= 128 ? 1 : 0) << type << "/" << density << " " << x << "," << y;
        }
}

TEST(Halftone, ToneReproductionFollowsLevelDistributionAndGamma)
{
    // One full tile per gray level, stacked: the white fraction of each band is
    // what the gamma table predicts for levels spread evenly over 0..255.
    for (int type = 0; type < HALFTONE_TYPES; ++type) {
        const HalftoneMatrix &m = HalftoneMatrixFor(type);
        for (unsigned choice : {0u, 2u, 5u, 9u}) {
            const DWORD size = static_cast<DWORD>(m.size);
            TestSlot s(size, size * 256, 0, 600);
            for (DWORD n = 0; n < 256; ++n)
                memset(s->lpbuf + n * size * size, static_cast<int>(n), size * size);
            ReachType(s.get(), type);
            s->inheader.cupsCompression = choice;
            ASSERT_EQ(SelectHalftoneType(s.get()), type);
            ASSERT_EQ(ApplyHalftone(s.get()), 1);
            BYTE g[256];
            BuildGammaTable(gammaVal[choice] + HalftoneFixVal(type, s.get()), g);
            double last = -1;
            for (DWORD n = 0; n < 256; ++n) {
                DWORD white = 0;
                const BYTE *band = s->lpbuf + n * size * (size / 8);
                for (DWORD i = 0; i < size * size / 8; ++i)
                    white += dottbl[band[i]];
                double got = white / double(size * size);
                int levels = 0;
                for (int l = 0; l < 256; ++l)
                    levels += n != 0 && int(n) >= ReferenceThreshold(g, static_cast<BYTE>(l));
                double want = levels / 256.0;
                EXPECT_NEAR(got, want, 0.01) << m.name << " choice " << choice << " level " << n;
                EXPECT_GE(got, last) << m.name << " choice " << choice << " level " << n;
                last = got;
            }
        }
    }
}

TEST(Halftone, CancelStopsTheScreen)
{
    TestSlot s(64, 64, 0x80, 600);
    gCancelJob = 1;
    EXPECT_EQ(ApplyHalftone(s.get()), 0);
    gCancelJob = 0;
    TestSlot z(64, 64, 0x80, 600);
    z->page_height = 0;
    EXPECT_EQ(ApplyHalftone(z.get()), 0) << "Argument Incorrect";
}

TEST(BorderQuality, FilterRepeatsEdgePixels)
{
    // Box filter on a 4 x 3 image with one bright corner pixel.
    TestSlot s(4, 3, 0, 600);
    s.at(0, 0) = 90;
    const int box[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_EQ(ApplyFilter3x3(s.get(), s->lpbuf, 8, box, 3), 1);
    EXPECT_EQ(s.at(0, 0), 40); // 90 x 4 / 9: row above and left neighbour repeat the pixel
    EXPECT_EQ(s.at(1, 0), 20);
    EXPECT_EQ(s.at(0, 1), 20);
    EXPECT_EQ(s.at(1, 1), 10);
    EXPECT_EQ(s.at(2, 2), 0);
    // The border kernel sums to 0: divisor 1, negative sums clamp to 0.
    TestSlot k(4, 3, 200, 600);
    k.at(1, 1) = 0;
    ASSERT_EQ(ApplyFilter3x3(k.get(), k->lpbuf, 8, FilterOutsideBorder, 3), 1);
    EXPECT_EQ(k.at(1, 1), 0);
    EXPECT_EQ(k.at(3, 2), 0);   // flat area
    EXPECT_EQ(k.at(2, 1), 200); // next to the dark pixel: its -1 term is gone
}

TEST(BorderQuality, FilterMatchesPlainConvolution)
{
    // Odd sizes, one-row and one-column images, a kernel with a divisor and the border kernel.
    std::mt19937 rng(7);
    const int box[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    for (const int *kernel : {box, FilterOutsideBorder})
        for (auto wh : {std::make_pair(37u, 23u), std::make_pair(1u, 9u), std::make_pair(9u, 1u), std::make_pair(1u, 1u)}) {
            const DWORD w = wh.first, h = wh.second;
            TestSlot s(w, h, 0, 600);
            for (DWORD i = 0; i < w * h; ++i)
                s->lpbuf[i] = static_cast<BYTE>(rng());
            std::vector<BYTE> in(s->lpbuf, s->lpbuf + w * h);
            int divisor = 0;
            for (int i = 0; i < 9; ++i)
                divisor += kernel[i];
            divisor = divisor < 1 ? 1 : divisor;
            ASSERT_EQ(ApplyFilter3x3(s.get(), s->lpbuf, 8, kernel, 3), 1);
            for (DWORD y = 0; y < h; ++y)
                for (DWORD x = 0; x < w; ++x) {
                    int sum = 0;
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            long yy = std::min<long>(std::max<long>(long(y) + dy, 0), long(h) - 1);
                            long xx = std::min<long>(std::max<long>(long(x) + dx, 0), long(w) - 1);
                            sum += kernel[(dy + 1) * 3 + dx + 1] * in[yy * w + xx];
                        }
                    int v = std::min(255, std::max(0, sum / divisor));
                    ASSERT_EQ(s.at(x, y), v) << w << "x" << h << " at " << x << "," << y;
                }
        }
}

TEST(BorderQuality, DarkShapesGrowByTheirBorder)
{
    TestSlot s(128, 128, 0xFF, 600);
    for (DWORD y = 32; y < 64; ++y)
        memset(s->lpbuf + y * 128 + 32, 0, 32);
    ASSERT_EQ(DoBorderQuality(s.get()), 1);
    EXPECT_EQ(s->linebyte, 16u);
    EXPECT_EQ(s->pagesize, 16u * 128u);
    EXPECT_EQ(s.bit(40, 40), 0) << "inside stays black";
    EXPECT_EQ(s.bit(31, 40), 0) << "the white pixel at the edge turns black";
    EXPECT_EQ(s.bit(64, 40), 0);
    EXPECT_EQ(s.bit(40, 31), 0);
    EXPECT_EQ(s.bit(29, 40), 1) << "farther out stays white";
    EXPECT_EQ(s.bit(100, 100), 1);
}

TEST(BorderQuality, LineartThreshold)
{
    TestSlot s(16, 1, 0, 600);
    BYTE v[16] = {0, 80, 81, 255, 79, 200, 80, 81, 255, 255, 255, 255, 0, 0, 0, 0};
    memcpy(s->lpbuf, v, 16);
    ASSERT_EQ(GrayToLineart(s.get(), s->lpbuf, 80), 1);
    EXPECT_EQ(s->lpbuf[0], 0x35); // 0011 0101
    EXPECT_EQ(s->lpbuf[1], 0xF0);

    // A wider random page, converted in place: every bit against its gray byte.
    std::mt19937 rng(9);
    TestSlot r(136, 5, 0, 600);
    for (DWORD i = 0; i < 136 * 5; ++i)
        r->lpbuf[i] = static_cast<BYTE>(rng());
    std::vector<BYTE> gray(r->lpbuf, r->lpbuf + 136 * 5);
    ASSERT_EQ(GrayToLineart(r.get(), r->lpbuf, 80), 1);
    for (DWORD y = 0; y < 5; ++y)
        for (DWORD x = 0; x < 136; ++x)
            ASSERT_EQ((r->lpbuf[y * 17 + x / 8] >> (7 - x % 8)) & 1, gray[y * 136 + x] > 80 ? 1 : 0) << x << "," << y;
}
