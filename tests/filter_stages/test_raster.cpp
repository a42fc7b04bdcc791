// Raster input: real raster streams written with libcups, the reader's
// layout rules, colour stages, and refusal of every header the stages could
// not process safely.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "stage_fixtures.h"

namespace {

// A raster file holding one page with `rows` lines of `line` bytes each.
struct RasterFile {
    std::string path;
    int fd = -1;
    cups_raster_t *ras = nullptr;
    RasterFile(const cups_page_header2_t &h, const std::vector<BYTE> &line, unsigned rows)
    {
        char tmpl[] = "/tmp/fimage-ras-XXXXXX";
        int w = mkstemp(tmpl);
        path = tmpl;
        cups_raster_t *out = cupsRasterOpen(w, CUPS_RASTER_WRITE);
        cups_page_header2_t copy = h;
        cupsRasterWriteHeader2(out, &copy);
        for (unsigned i = 0; i < rows && !line.empty(); ++i)
            cupsRasterWritePixels(out, const_cast<BYTE *>(line.data()), static_cast<unsigned>(line.size()));
        cupsRasterClose(out);
        close(w);
        fd = open(path.c_str(), O_RDONLY);
        ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    }
    ~RasterFile()
    {
        cupsRasterClose(ras);
        close(fd);
        unlink(path.c_str());
    }
};

struct Slot {
    JobInfo s{};
    Slot() { s.MaxMediaWidth = 595.0f, s.MaxMediaHeight = 842.0f; }
    ~Slot() { free(s.lpbuf); }
};

cups_page_header2_t ColorHeader(unsigned w, unsigned h, unsigned bpp)
{
    cups_page_header2_t hd = GrayHeader(w, h, 600);
    hd.cupsBitsPerPixel = bpp;
    hd.cupsBytesPerLine = w * bpp / 8;
    hd.cupsColorSpace = CUPS_CSPACE_RGB;
    return hd;
}

// A colour slot of w x h pixels (w a multiple of 32) with every pixel (r, g, b).
void FillColor(JobInfo &s, unsigned w, unsigned h, unsigned bpp, BYTE r, BYTE g, BYTE b)
{
    s.inheader = ColorHeader(w, h, bpp);
    s.page_width = w;
    s.page_height = h;
    s.linebyte = w * bpp / 8;
    s.pagesize = s.linebyte * h;
    s.lpbuf = static_cast<BYTE *>(malloc(s.pagesize));
    for (DWORD i = 0; i < s.pagesize; i += bpp / 8) {
        s.lpbuf[i] = r, s.lpbuf[i + 1] = g, s.lpbuf[i + 2] = b;
        if (bpp == 32)
            s.lpbuf[i + 3] = 0x55;
    }
}

} // namespace

TEST(RasterInput, ReaderPadsRowsWhiteAndCountsNonWhiteBytes)
{
    // 4961 pixels: 31 pad pixels to 4992. One black and one gray byte per line.
    cups_page_header2_t h = GrayHeader(4961, 3, 600);
    std::vector<BYTE> line(4961, 0xFF);
    line[0] = 0x00;
    line[4960] = 0x80;
    RasterFile f(h, line, 3);
    cups_page_header2_t rd;
    ASSERT_TRUE(cupsRasterReadHeader2(f.ras, &rd));
    Slot slot;
    slot.s.inheader = rd;
    slot.s.inras = f.ras;
    ASSERT_EQ(GetCUPSPageData(&slot.s), 1);
    EXPECT_EQ(slot.s.page_width, 4992u);
    EXPECT_EQ(slot.s.page_height, 32u);
    EXPECT_EQ(slot.s.linebyteLeft, 31u);
    EXPECT_EQ(slot.s.linebyte, 4992u);
    for (DWORD y = 0; y < 32; ++y)
        for (DWORD x = 0; x < 4992; ++x) {
            BYTE want = y < 3 && x == 0 ? 0x00 : (y < 3 && x == 4960 ? 0x80 : 0xFF);
            ASSERT_EQ(slot.s.lpbuf[y * 4992 + x], want) << x << "," << y;
        }
}

TEST(RasterInput, ReaderRunsPassOneAndCountsBlackBytes)
{
    EnableAllPapers();
    cups_page_header2_t h = GrayHeader(5100, 40, 600, 612, 792);
    ginheader_bak = h;
    std::vector<BYTE> line(5100, 0xFF);
    line[100] = 0x10;
    line[101] = 0x20;
    RasterFile f(h, line, 40);
    cups_page_header2_t rd;
    ASSERT_TRUE(cupsRasterReadHeader2(f.ras, &rd));
    Slot slot;
    slot.s.inheader = rd;
    slot.s.inras = f.ras;
    DWORD dots = 12345;
    ASSERT_EQ(GetCUPSPageDataEx(&slot.s, 0, &dots), 1);
    EXPECT_EQ(dots, 80u);
    EXPECT_TRUE(slot.s.flag.load() & JOB_PASS1_DONE);
    EXPECT_EQ(slot.s.page_width, 4928u) << "Letter canvas";
    EXPECT_EQ(slot.s.page_height, 6400u);

    // A blank page of the same header: white, black count untouched, nothing read.
    Slot blank;
    blank.s.inheader = h;
    dots = 12345;
    ASSERT_EQ(GetCUPSPageDataEx(&blank.s, 1, &dots), 1);
    EXPECT_EQ(dots, 12345u);
    for (DWORD i = 0; i < blank.s.pagesize; ++i)
        ASSERT_EQ(blank.s.lpbuf[i], 0xFF);
    EnableAllPapers(false);
}

TEST(RasterInput, ColourPageBecomesGray)
{
    struct Case {
        BYTE r, g, b, gray;
    } cases[] = {{255, 255, 255, 255}, {0, 0, 0, 0}, {100, 100, 100, 100}, {255, 0, 0, 76}, {0, 255, 0, 135},
                 {0, 0, 255, 43}};
    for (unsigned bpp : {24u, 32u})
        for (const Case &c : cases) {
            Slot slot;
            FillColor(slot.s, 32, 2, bpp, c.r, c.g, c.b);
            slot.s.linebyteLeft = 4; // the last 4 pixels are pad and turn white
            ImageToGray(&slot.s);
            ASSERT_EQ(slot.s.linebyte, 32u);
            EXPECT_EQ(slot.s.lpbuf[0], c.gray) << bpp << ": " << int(c.r) << "," << int(c.g) << "," << int(c.b);
            EXPECT_EQ(slot.s.lpbuf[27], c.gray);
            EXPECT_EQ(slot.s.lpbuf[28], 0xFF);
            EXPECT_EQ(slot.s.lpbuf[32 + 31], 0xFF);
        }
}

TEST(RasterInput, RedAndBlackSplit)
{
    struct Case {
        BYTE r, g, b;
        unsigned diff; // cupsInteger[5]
        bool red;
    } cases[] = {
        {255, 0, 0, 0, true},     {150, 0, 0, 0, false},   {151, 0, 0, 0, true},  {255, 60, 0, 200, false},
        {255, 54, 0, 200, true},  {255, 255, 255, 0, false}, {200, 199, 0, 0, true}, {200, 200, 0, 0, false},
        {255, 0, 0, 0x100, true}, // only the low byte counts
    };
    for (const Case &c : cases) {
        Slot slot;
        FillColor(slot.s, 32, 1, 24, c.r, c.g, c.b);
        slot.s.inheader.cupsInteger[4] = 1;
        slot.s.inheader.cupsInteger[5] = c.diff;
        ASSERT_EQ(Page_24BitProcessRedColor(&slot.s), 1);
        ASSERT_EQ(slot.s.page_height, 2u);
        const BYTE *black = slot.s.lpbuf, *red = slot.s.lpbuf + 96;
        std::vector<BYTE> white = {255, 255, 255}, zero = {0, 0, 0}, px = {c.r, c.g, c.b};
        EXPECT_EQ(std::vector<BYTE>(black, black + 3), c.red ? white : px) << int(c.r) << "," << int(c.g) << " diff " << c.diff;
        EXPECT_EQ(std::vector<BYTE>(red, red + 3), c.red ? zero : white) << int(c.r) << "," << int(c.g) << " diff " << c.diff;
    }
}

TEST(RasterInput, RedAndBlackColourPageThroughTheReader)
{
    // 24-bit page: a red and a black pixel; split, gray, then placed on the canvas.
    cups_page_header2_t h = ColorHeader(64, 64, 24);
    h.PageSize[0] = h.PageSize[1] = 100;
    h.ImagingBoundingBox[0] = 1; // not at the paper origin: no cut
    h.cupsInteger[4] = 1;
    ginheader_bak = h;
    std::vector<BYTE> line(64 * 3, 0xFF);
    line[3 * 10] = 255, line[3 * 10 + 1] = 0, line[3 * 10 + 2] = 0; // red at x 10
    line[3 * 20] = line[3 * 20 + 1] = line[3 * 20 + 2] = 0;         // black at x 20
    RasterFile f(h, line, 64);
    cups_page_header2_t rd;
    ASSERT_TRUE(cupsRasterReadHeader2(f.ras, &rd));
    Slot slot;
    slot.s.inheader = rd;
    slot.s.inras = f.ras;
    DWORD dots = 0;
    ASSERT_EQ(GetCUPSPageDataEx(&slot.s, 0, &dots), 1);
    // Canvas: 600 x (100 - 24) / 72 = 633 -> 640 square, two planes stacked.
    ASSERT_EQ(slot.s.page_width, 640u);
    ASSERT_EQ(slot.s.page_height, 1280u);
    ASSERT_EQ(slot.s.linebyte, 640u);
    const BYTE *black = slot.s.lpbuf, *red = slot.s.lpbuf + 640 * 640;
    for (DWORD y : {0u, 63u}) {
        EXPECT_EQ(black[y * 640 + 20], 0);
        EXPECT_EQ(black[y * 640 + 10], 0xFF);
        EXPECT_EQ(red[y * 640 + 10], 0);
        EXPECT_EQ(red[y * 640 + 20], 0xFF);
    }
    EXPECT_EQ(red[64 * 640 + 10], 0xFF);
}

TEST(RasterInput, GrayPageInTwoPlaneModeGetsWhiteRedPlane)
{
    cups_page_header2_t h = GrayHeader(32, 32, 600);
    h.cupsInteger[4] = 1;
    std::vector<BYTE> line(32, 0x00);
    RasterFile f(h, line, 32);
    cups_page_header2_t rd;
    ASSERT_TRUE(cupsRasterReadHeader2(f.ras, &rd));
    Slot slot;
    slot.s.inheader = rd;
    slot.s.inras = f.ras;
    ASSERT_EQ(GetCUPSPageData(&slot.s), 1);
    ASSERT_EQ(slot.s.page_height, 64u);
    EXPECT_EQ(slot.s.lpbuf[0], 0x00);
    EXPECT_EQ(slot.s.lpbuf[32 * 32], 0xFF);
    EXPECT_EQ(slot.s.lpbuf[64 * 32 - 1], 0xFF);
}

TEST(RasterInput, RefusesPagesTheStagesCannotProcess)
{
    struct Case {
        const char *name;
        unsigned w, h, bpc, bpp, bpl, dpi, twoPlane;
        const char *why;
    } cases[] = {
        {"1 bit", 64, 8, 1, 1, 8, 600, 0, "1 bits per pixel"},
        {"2 bits", 64, 8, 2, 2, 16, 600, 0, "2 bits per pixel"},
        {"4 bits", 64, 8, 4, 4, 32, 600, 0, "4 bits per pixel"},
        {"16 bits", 64, 8, 16, 16, 128, 600, 0, "16 bits per pixel"},
        {"bytes per line too short", 100, 8, 8, 8, 50, 600, 0, "cupsBytesPerLine 50"},
        {"bytes per line too long", 100, 8, 8, 24, 400, 600, 0, "cupsBytesPerLine 400"},
        {"over 32 bits", 40000, 40000, 8, 24, 120000, 600, 0, "more than this system can hold"},
        {"over 32 bits in two planes", 30000, 30000, 8, 24, 90000, 600, 1, "more than this system can hold"},
        {"too wide", 70000, 8, 8, 8, 70000, 600, 0, "too wide"},
        {"no pixels", 0, 8, 8, 8, 0, 600, 0, "no pixels"},
        {"no resolution", 64, 8, 8, 8, 64, 0, 0, "no resolution"},
        {"absurd resolution", 64, 8, 8, 8, 64, 4000000000u, 0, "out of range"},
    };
    for (const Case &c : cases) {
        cups_page_header2_t h = GrayHeader(c.w, c.h, c.dpi);
        h.cupsBitsPerColor = c.bpc;
        h.cupsBitsPerPixel = c.bpp;
        h.cupsBytesPerLine = c.bpl;
        h.cupsInteger[4] = c.twoPlane;
        if (c.bpp == 24)
            h.cupsColorSpace = CUPS_CSPACE_RGB;
        // Lines as the header claims them, so the stream itself is well formed.
        std::vector<BYTE> line(c.bpl < 200000 ? c.bpl : 0, 0x00);
        RasterFile f(h, line, c.h < 64 ? c.h : 2);
        cups_page_header2_t rd;
        Slot slot;
        // libcups may already refuse some of these; the stages never rely on it.
        slot.s.inheader = cupsRasterReadHeader2(f.ras, &rd) ? rd : h;
        slot.s.inras = f.ras;
        DWORD dots = 7;
        StderrCapture cap;
        EXPECT_EQ(GetCUPSPageDataEx(&slot.s, 0, &dots), 0) << c.name;
        std::string err = cap.text();
        EXPECT_EQ(err.rfind("ERROR: ", 0), 0u) << c.name << ": " << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << c.name << ": " << err;
        EXPECT_EQ(slot.s.lpbuf, nullptr) << c.name;
        EXPECT_FALSE(slot.s.flag.load() & JOB_PASS1_DONE) << c.name;
        EXPECT_EQ(dots, 7u);
    }
}

TEST(RasterInput, TruncatedPageIsRefused)
{
    cups_page_header2_t h = GrayHeader(64, 64, 600);
    std::vector<BYTE> line(64, 0x00);
    RasterFile f(h, line, 10); // 10 of 64 lines
    cups_page_header2_t rd;
    ASSERT_TRUE(cupsRasterReadHeader2(f.ras, &rd));
    Slot slot;
    slot.s.inheader = rd;
    slot.s.inras = f.ras;
    DWORD dots = 0;
    StderrCapture cap;
    EXPECT_EQ(GetCUPSPageDataEx(&slot.s, 0, &dots), 0);
    std::string err = cap.text();
    EXPECT_NE(err.find("ERROR: Raster page is truncated: line 11 of 64"), std::string::npos) << err;
    EXPECT_EQ(slot.s.lpbuf, nullptr);
}

TEST(RasterInput, PageInfoNeverTrustsHeaderText)
{
    // Unterminated text fields and format directives are logged as plain text.
    cups_page_header2_t h = GrayHeader(64, 64, 600);
    memset(h.MediaClass, 'A', sizeof h.MediaClass);
    strcpy(h.cupsString[0], "%s%s%s%n");
    DisplayPageInfo(&h);
    std::string err = LogText();
    EXPECT_NE(err.find("MediaClass = \"" + std::string(64, 'A') + "\""), std::string::npos);
    EXPECT_NE(err.find("cupsString[0] = %s%s%s%n (Savetofile)"), std::string::npos);
    EXPECT_NE(err.find("cupsInteger[13] = 0 (Fit to paper)"), std::string::npos);
    EXPECT_EQ(err.find("cupsInteger[9]"), std::string::npos);
}
