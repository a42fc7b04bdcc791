// Pass-1 geometry: printable area, scaling rule, canvas, and the scaler.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "stage_fixtures.h"

TEST(Geometry, LetterAt600GivesPrintableAreaAndCanvas)
{
    EnableAllPapers();
    // The full Letter page as gstoraster renders it: 5100 x 6600 at 600 dpi.
    TestSlot s(5120, 6624, 0xFF, 600);
    s->inheader = GrayHeader(5100, 6600, 600, 612, 792);
    ginheader_bak = s->inheader;
    s.at(2000, 3000) = 0; // a mark inside the printable area
    ImageCrop(s.get());
    // 600 x (612 - 24) / 72 = 4900, aligned 4928; 600 x (792 - 24) / 72 = 6400.
    EXPECT_EQ(s->page_width, 4928u);
    EXPECT_EQ(s->page_height, 6400u);
    EXPECT_EQ(s->linebyte, 4928u);
    // The cut is centred: margins (5120 - 4928) / 2 and (6624 - 6400) / 2.
    EXPECT_EQ(s.at(2000 - 96, 3000 - 112), 0);
    EXPECT_TRUE(DoScaling(s.get()));
    EXPECT_EQ(s->page_width, 4928u) << "600 dpi without scaling is left alone";
    DoWholePage(s.get());
    EXPECT_EQ(s->page_width, 4928u);
    EXPECT_EQ(s->page_height, 6400u);
    EXPECT_EQ(s->pagesize, 4928u * 6400u);
    EXPECT_EQ(s.at(2000 - 96, 3000 - 112), 0);
    EnableAllPapers(false);
}

TEST(Geometry, ScalingRuleByResolution)
{
    struct Case {
        unsigned dpi;
        int scale1200;
        unsigned ratio; // cupsInteger[7]
        int wantP;      // percent applied; 0 = page left alone
    } cases[] = {
        {600, 0, 0, 0},     {600, 0, 100, 0},  {600, 1, 0, 0}, // nothing asked at 600
        {600, 0, 50, 50},   {300, 0, 0, 200},  {300, 1, 0, 200}, // 300 dpi always doubles
        {300, 0, 50, 100},  {1200, 1, 0, 50},  {1200, 1, 100, 50}, // no true 1200: halved
        {1200, 0, 0, 0},    {1200, 0, 50, 50}, {1200, 1, 50, 25},
        {720, 0, 50, 41},   {150, 0, 0, 400},
    };
    for (const Case &c : cases) {
        TestSlot s(640, 64, 0x80, c.dpi);
        s->SCALE1200 = c.scale1200;
        s->inheader.cupsInteger[7] = c.ratio;
        ASSERT_TRUE(DoScaling(s.get()));
        int p = c.wantP ? c.wantP : 100;
        EXPECT_EQ(s->page_width, DWORD(640 * p / 100)) << c.dpi << " dpi, SCALE1200 " << c.scale1200 << ", " << c.ratio << "%";
        EXPECT_EQ(s->page_height, DWORD(64 * p / 100));
        EXPECT_EQ(s->linebyte, s->page_width);
        // Left alone means untouched bytes; a scaled page carries the scaler's lift.
        if (c.wantP)
            EXPECT_NEAR(s.at(5, 5), 0x80, 3);
        else
            EXPECT_EQ(s.at(5, 5), 0x80);
    }
}

TEST(Geometry, ScalingRefusesAbsurdRatios)
{
    for (unsigned ratio : {0xFFFFFFFFu /* -1 */, 1000000u}) {
        TestSlot s(640, 64, 0x80, 600);
        s->inheader.cupsInteger[7] = ratio;
        StderrCapture cap;
        EXPECT_FALSE(DoScaling(s.get())) << ratio;
        EXPECT_NE(cap.text().find("ERROR: "), std::string::npos);
        EXPECT_EQ(s->page_width, 640u) << "page kept on failure";
    }
}

TEST(Geometry, ScaleImageBilinear)
{
    // Identity keeps values plus the scaler's +2.99 rounding lift; solid black stays black.
    BYTE src[4] = {0, 100, 200, 255};
    BYTE dst[4] = {};
    EXPECT_EQ(ScaleImage(src, 4, 1, 1, dst, 4, 1000, 1000, 8), 1u);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 102);
    EXPECT_EQ(dst[2], 202);
    EXPECT_EQ(dst[3], 255);
    // Doubling interpolates between neighbours, the last column repeats.
    BYTE two[2] = {0, 200}, out[4] = {};
    EXPECT_EQ(ScaleImage(two, 2, 1, 1, out, 4, 2000, 1000, 8), 1u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 102);
    EXPECT_EQ(out[2], 202);
    EXPECT_EQ(out[3], 202);
    EXPECT_EQ(ScaleImage(nullptr, 2, 1, 1, out, 4, 2000, 1000, 8), 0u);
}

// The scaler's arithmetic written out plainly, one target byte at a time.
static std::vector<BYTE> ReferenceScale(const std::vector<BYTE> &S, DWORD sw, DWORD sh, DWORD tw, int xr, int yr)
{
    const float X = xr / 1000.0f, Y = yr / 1000.0f;
    const DWORD rows = static_cast<DWORD>(static_cast<float>(sh) * Y);
    std::vector<BYTE> T(static_cast<size_t>(tw) * rows);
    for (DWORD y = 0; y < rows; ++y) {
        float sy = static_cast<float>(y) / Y + (Y > 1 ? 0.0f : 1.0f - Y);
        DWORD iy = static_cast<DWORD>(sy);
        float fy = sy - static_cast<float>(iy);
        DWORD low = iy + 1 > sh - 1 ? sh - 1 : iy + 1;
        for (DWORD x = 0; x < tw; ++x) {
            float sx = static_cast<float>(x) / X + (X > 1 ? 0.0f : 1.0f - X);
            if (sx > static_cast<float>(sw - 1))
                sx = static_cast<float>(sw - 1);
            DWORD ix = static_cast<DWORD>(sx);
            float fx = sx - static_cast<float>(ix);
            DWORD rx = ix + 1 < sw ? ix + 1 : ix;
            float a = (1 - fy) * fx, b = fy * fx, c = (1 - fy) * (1 - fx), d = fy * (1 - fx);
            int v = static_cast<int>(a * S[iy * sw + rx]);
            v = static_cast<int>(static_cast<float>(v) + b * S[low * sw + rx]);
            v = static_cast<int>(static_cast<float>(v) + c * S[iy * sw + ix]);
            v = static_cast<int>(static_cast<float>(v) + d * S[low * sw + ix]);
            v = static_cast<int>(static_cast<float>(v) + 2.99f);
            bool black = a * S[iy * sw + rx] + b * S[low * sw + rx] + c * S[iy * sw + ix] + d * S[low * sw + ix] == 0.0f;
            T[static_cast<size_t>(y) * tw + x] = static_cast<BYTE>(black ? 0 : (v > 254 ? 255 : v));
        }
    }
    return T;
}

TEST(Geometry, ScaleImageMatchesItsArithmeticExactly)
{
    std::mt19937 rng(3);
    std::vector<BYTE> S(97 * 61);
    for (BYTE &b : S)
        b = static_cast<BYTE>(rng());
    const struct {
        int xr, yr;
    } ratios[] = {{1000, 1000}, {2000, 2000}, {955, 968}, {500, 1300}, {3333, 700}, {8330, 8330}, {250, 4000}};
    for (const auto &r : ratios) {
        const DWORD tw = static_cast<DWORD>(97 * (r.xr / 1000.0f));
        std::vector<BYTE> want = ReferenceScale(S, 97, 61, tw, r.xr, r.yr);
        std::vector<BYTE> got(want.size() + tw, 0x5A);
        DWORD rows = ScaleImage(S.data(), 97, 61, 61, got.data(), tw, r.xr, r.yr, 8);
        ASSERT_EQ(static_cast<size_t>(rows) * tw, want.size());
        EXPECT_EQ(std::vector<BYTE>(got.begin(), got.begin() + want.size()), want) << r.xr << "/" << r.yr;
        EXPECT_EQ(got[want.size()], 0x5A) << "nothing written past the planned rows";
    }
}

TEST(Geometry, ScaledSolidBlackPrintsSolid)
{
    // Every page below 600 dpi is scaled; its black areas must not come out speckled.
    TestSlot s(512, 512, 0x00, 300);
    s->inheader.cupsCompression = 2;
    ASSERT_TRUE(DoScaling(s.get()));
    ASSERT_EQ(s->page_width, 1024u);
    ASSERT_EQ(ApplyHalftone(s.get()), 1);
    EXPECT_EQ(Prnt_CountBlackDots(s->lpbuf, s->pagesize), 0u) << "white pixels in solid black";
}

TEST(Geometry, ZeroEdgeFitsRasterIntoPrintableArea)
{
    EnableAllPapers();
    // A 300 x 300 pt page at 72 dpi: printable area 276 -> aligned 288.
    TestSlot s(320, 320, 0x00, 72);
    s->inheader = GrayHeader(300, 300, 72, 300, 300);
    s->inheader.cupsInteger[3] = 1;
    ImageCrop(s.get());
    EXPECT_EQ(s->page_width, 288u);
    EXPECT_EQ(s->page_height, 288u);
    // The whole raster, black, now covers the area (scaled, not cut).
    EXPECT_LT(s.at(0, 0), 8);
    EXPECT_LT(s.at(275, 275), 8);
    EnableAllPapers(false);
}

TEST(Geometry, SmallerRasterThanPrintableAreaStaysInBounds)
{
    // Crop branch with a raster smaller than the area: kept at the top left, rest white.
    TestSlot s(64, 64, 0x00, 72);
    s->inheader = GrayHeader(64, 64, 72, 200, 200);
    ImageCrop(s.get());
    EXPECT_EQ(s->page_width, 192u); // 176 aligned
    EXPECT_EQ(s->page_height, 192u);
    EXPECT_EQ(s.at(63, 63), 0);
    EXPECT_EQ(s.at(64, 10), 0xFF);
    EXPECT_EQ(s.at(10, 64), 0xFF);
}

TEST(Geometry, CustomSizeBeyondLargestMediumIsCutToIt)
{
    EnableAllPapers();
    // 700 x 1000 pt at 72 dpi, no paper row matches; the medium is A4.
    TestSlot s(704, 1024, 0x00, 72);
    s->inheader = GrayHeader(700, 1000, 72, 700, 1000);
    ginheader_bak = s->inheader;
    DoWholePage(s.get());
    // At least 600 dpi for the canvas: (595 - 24) x 600 / 72 = 4758 -> 4768; (842 - 24) -> 6816 -> 6816.
    EXPECT_EQ(s->page_width, 4768u);
    EXPECT_EQ(s->page_height, 6816u);
    EXPECT_EQ(s.at(703, 1023), 0);
    EXPECT_EQ(s.at(704, 0), 0xFF);
    EXPECT_EQ(s.at(0, 1024), 0xFF);
    EnableAllPapers(false);
}

TEST(Geometry, CanvasCutsPageLargerThanPaper)
{
    EnableAllPapers();
    // An A4 page at 600 dpi placed on the A4 canvas: what lies beyond is cut.
    TestSlot s(5000, 7100, 0x40, 600);
    s->inheader = GrayHeader(5000, 7100, 600, 595, 842);
    ginheader_bak = s->inheader;
    DoWholePage(s.get());
    EXPECT_EQ(s->page_width, 4768u); // 4758 aligned
    EXPECT_EQ(s->page_height, 6816u);
    EXPECT_EQ(s.at(4767, 6815), 0x40);
    EnableAllPapers(false);
}

TEST(Geometry, TwoPlanePagesKeepBothPlanesStacked)
{
    EnableAllPapers();
    // Two 64 x 64 planes at 72 dpi on a 100 x 100 pt page: black plane top-left
    // mark, red plane bottom-right mark.
    TestSlot s(64, 128, 0xFF, 72);
    s->inheader = GrayHeader(64, 64, 72, 100, 100);
    s->inheader.cupsInteger[4] = 1;
    s.at(2, 2) = 0;
    s.at(60, 64 + 60) = 0;
    ginheader_bak = s->inheader;
    ASSERT_TRUE(DoScaling(s.get())); // 72 dpi -> 600: P = 833
    const DWORD planeH = s->page_height / 2;
    EXPECT_EQ(planeH, 533u);
    EXPECT_EQ(s->page_width, 533u);
    EXPECT_LT(s.at(17, 17), 64);
    EXPECT_GE(s.at(17, planeH + 17), 250) << "the black mark stays out of the red plane";
    EXPECT_LT(s.at(500, planeH + 500), 64);
    EXPECT_GE(s.at(500, 500), 250);
    EnableAllPapers(false);
}

TEST(Geometry, AbsurdPageSizesStayInBounds)
{
    // No printable area: no cut, no canvas.
    for (unsigned pt : {0u, 24u}) {
        TestSlot s(64, 64, 0x80, 600);
        s->inheader.PageSize[0] = s->inheader.PageSize[1] = pt;
        ginheader_bak = s->inheader;
        ImageCrop(s.get());
        EXPECT_EQ(DoWholePage(s.get()), 0) << pt;
        EXPECT_EQ(s->page_width, 64u) << pt;
        EXPECT_EQ(s->page_height, 64u) << pt;
    }
    // A size beyond any buffer: the cut is refused, the canvas is the largest medium's.
    TestSlot s(64, 64, 0x80, 600);
    s->inheader.PageSize[0] = s->inheader.PageSize[1] = 4000000000u;
    ginheader_bak = s->inheader;
    ImageCrop(s.get());
    EXPECT_EQ(s->page_width, 64u);
    EXPECT_EQ(DoWholePage(s.get()), 1);
    EXPECT_EQ(s->page_width, 4768u);
    EXPECT_EQ(s->page_height, 6816u);
    EXPECT_EQ(s.at(63, 63), 0x80);
}

TEST(Geometry, ImagingBoxOffsetLeavesPageAlone)
{
    TestSlot s(640, 64, 0x80, 600);
    s->inheader.ImagingBoundingBox[0] = 18;
    ImageCrop(s.get());
    EXPECT_EQ(s->page_width, 640u);
    EXPECT_EQ(s->page_height, 64u);
    EXPECT_EQ(s.at(0, 0), 0x80);
}
