// Whole runs of the real filter on input it cannot print: broken raster
// streams, pages it has to refuse, a backend gone before the close, and a
// writer thread that cannot start, a page its worker could not prepare. Each
// must end with an "ERROR:" line and a failed exit status, never as an empty
// or white job that CUPS counts as printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/resource.h>
#include <unistd.h>

#include "run_util.h"

using namespace runs;

namespace
{

// A sanitizer build reports with exit status 1 as well: a refusal must not hide a report.
void ExpectNoSanitizerReport(const RunResult &r)
{
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err.substr(0, 4000);
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err.substr(0, 4000);
}

// The job as it must look after a refusal: at most `pages` good pages, then the plain close.
void ExpectClosedJob(const RunResult &r, size_t pages)
{
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_LE(job.pages.size(), pages);
    for (const PageRec &p : job.pages)
        EXPECT_FALSE(p.bitmap.empty());
    EXPECT_EQ(job.close, CloseSequence(false));
}

// One raster stream of the given pages, written by libcups in its compressed form.
std::string CompressedRaster(const std::vector<RasterPage> &pages)
{
    std::string path = Root() + "/compressed.tmp";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    cups_raster_t *r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);
    for (RasterPage p : pages) {
        cupsRasterWriteHeader2(r, &p.header);
        cupsRasterWritePixels(r, (unsigned char *)&p.data[0], (unsigned)p.data.size());
    }
    cupsRasterClose(r);
    close(fd);
    std::string s = ReadFile(path);
    unlink(path.c_str());
    return s;
}

// The page as a document rendered at `dpi` would give it (nearest pixel).
RasterPage AtResolution(const RasterPage &src, unsigned dpi)
{
    RasterPage p = src;
    const cups_page_header2_t &h = src.header;
    unsigned w = (unsigned)((unsigned long long)h.cupsWidth * dpi / h.HWResolution[0]);
    unsigned hh = (unsigned)((unsigned long long)h.cupsHeight * dpi / h.HWResolution[1]);
    if (w == 0)
        w = 1;
    if (hh == 0)
        hh = 1;
    p.header.cupsWidth = w;
    p.header.cupsHeight = hh;
    p.header.cupsBytesPerLine = w; // 8-bit gray
    p.header.HWResolution[0] = p.header.HWResolution[1] = dpi;
    p.data.assign((size_t)w * hh, '\xff');
    for (unsigned y = 0; y < hh; y++) {
        const char *row = &src.data[(size_t)(y * (unsigned long long)h.cupsHeight / hh) * h.cupsBytesPerLine];
        for (unsigned x = 0; x < w; x++)
            p.data[(size_t)y * w + x] = row[x * (unsigned long long)h.cupsWidth / w];
    }
    return p;
}

// The most a one-page job may take; the thread sanitizer's shadow memory comes on top.
#if defined(__SANITIZE_THREAD__)
const long kPeakLimitMb = 1024;
#else
const long kPeakLimitMb = 256;
#endif

// A one-page job within the memory limit: printed, or refused before its page was
// read with `why` after "ERROR: Page 1 refused: " (empty: it prints).
void ExpectPrintedOrRefused(const std::string &name, const RunResult &r, const std::string &why)
{
    std::cout << name << ": peak " << r.maxRssKb / 1024 << " MB" << std::endl;
    EXPECT_LT(r.maxRssKb, kPeakLimitMb * 1024);
    ExpectNoSanitizerReport(r);
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    if (why.empty()) {
        EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
        ASSERT_EQ(job.pages.size(), 1u);
        EXPECT_GT(job.pages[0].setPixels, 0u);
        return;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Page 1 refused: " + why + "\n"), std::string::npos) << r.err.substr(0, 2000);
    EXPECT_TRUE(job.pages.empty());
    EXPECT_EQ(job.close, CloseSequence(false));
}

// Why a raster that holds more than the printer's largest paper is refused.
std::string RasterTooLarge(const cups_page_header2_t &h)
{
    return "Raster page of " + std::to_string(h.cupsWidth) + " x " + std::to_string(h.cupsHeight) +
           " pixels at " + std::to_string(h.HWResolution[0]) + " x " + std::to_string(h.HWResolution[1]) +
           " dpi is larger than any paper of this printer";
}

// Runs the filter on each page as a raster of its own, all at once, with job ids
// from `firstJob` on.
std::vector<RunResult> RunEach(const std::vector<RasterPage> &pages, int firstJob, const RunOptions &base)
{
    std::vector<Running> runs;
    std::vector<std::string> paths;
    for (size_t i = 0; i < pages.size(); i++) {
        paths.push_back(Root() + "/each" + std::to_string(firstJob + i) + ".ras");
        WriteRaster(paths.back(), {pages[i]});
        RunOptions o = base;
        o.jobId = std::to_string(firstJob + i);
        runs.push_back(StartFilter(paths.back(), o));
    }
    std::vector<RunResult> results;
    for (size_t i = 0; i < runs.size(); i++) {
        results.push_back(Wait(runs[i]));
        unlink(paths[i].c_str());
    }
    return results;
}

} // namespace

TEST(InputErrors, BrokenStreamsEndWithAnErrorAndTheClose)
{
    std::vector<RasterPage> good = ReadRaster(ManualPages("1"));
    ASSERT_EQ(good.size(), 1u);
    ASSERT_EQ(good[0].header.cupsBitsPerPixel, 8u);
    const std::string plain = ReadFile(ManualPages("1"));
    const std::string compressed = CompressedRaster(good);
    const std::string header = plain.substr(4, sizeof(cups_page_header2_t));

    RasterPage rgb = good[0];
    rgb.header.cupsBitsPerPixel = 24;
    rgb.header.cupsColorSpace = CUPS_CSPACE_RGB;
    rgb.header.cupsBytesPerLine = rgb.header.cupsWidth * 3 + 1; // not whole pixels
    rgb.data.assign((size_t)rgb.header.cupsBytesPerLine * rgb.header.cupsHeight, '\xff');
    std::string rgbPath = Root() + "/rgb.tmp";
    WriteRaster(rgbPath, {rgb});
    const std::string partialPixels = ReadFile(rgbPath);
    unlink(rgbPath.c_str());

    struct Case {
        const char *name;
        std::string bytes;
        const char *error; // expected in the "ERROR:" line; null: a good stream that prints
    };
    const Case cases[] = {
        {"good stream", plain, nullptr},
        {"good compressed stream", compressed, nullptr},
        {"not raster at all", "%!PS-Adobe-3.0\n%%EOF\n", "not a CUPS raster stream"},
        {"cut inside the sync word", plain.substr(0, 2), "ends before the raster stream starts"},
        {"cut inside the first header", plain.substr(0, 4 + 900), "ends inside the header of page 1"},
        {"cut inside the second header", plain + header.substr(0, 900), "ends inside the header of page 2"},
        {"garbage after a good page", plain + std::string(5000, 'x'), "raster header of page 2 is damaged"},
        {"header of zeros", plain.substr(0, 4) + std::string(4000, '\0'),
         "raster header of page 1 is damaged"},
        {"bytes per line not whole pixels", partialPixels, "raster header of page 1 is damaged"},
        {"compressed, cut inside the second header", compressed + header.substr(0, 900),
         "ends inside the header of page 2"},
        {"compressed, garbage after a good page", compressed + std::string(5000, 'x'),
         "raster header of page 2 is damaged"},
    };
    std::vector<Running> runs;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        std::string ras = Root() + "/broken" + std::to_string(i) + ".ras";
        WriteFile(ras, cases[i].bytes);
        RunOptions o;
        o.jobId = std::to_string(100 + i);
        runs.push_back(StartFilter(ras, o));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        RunResult r = Wait(runs[i]);
        unlink((Root() + "/broken" + std::to_string(i) + ".ras").c_str());
        if (!c.error) {
            EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
            EXPECT_EQ(r.err.find("ERROR:"), std::string::npos);
            Job job = ParseJob(r.out);
            ASSERT_TRUE(job.ok) << job.problem;
            ASSERT_EQ(job.pages.size(), 1u);
            EXPECT_GT(job.pages[0].blackDots, 1000u);
            continue;
        }
        EXPECT_EQ(r.status, 1);
        ExpectNoSanitizerReport(r);
        size_t at = r.err.find("ERROR: ");
        ASSERT_NE(at, std::string::npos) << r.err.substr(0, 2000);
        EXPECT_NE(r.err.find(c.error, at), std::string::npos) << r.err.substr(at, 300);
        // The close sequence still ends what went out; a good page before the break may be in it.
        ExpectClosedJob(r, 1);
    }
}

TEST(InputErrors, CloseThatCannotBeWrittenFailsTheJob)
{
    // A job without pages whose backend has gone: only the close is written, and it fails.
    std::string ras = Root() + "/nopages.ras";
    WriteRaster(ras, {});
    RunOptions o;
    o.closeStdoutEarly = true;
    RunResult r = RunFilter(ras, o);
    unlink(ras.c_str());
    EXPECT_EQ(r.status, 1);
    ExpectNoSanitizerReport(r);
    EXPECT_NE(r.err.find("ERROR: Unable to send the print data\n"), std::string::npos)
        << r.err.substr(0, 2000);
}

TEST(InputErrors, ResolutionsThePrinterCannotTakeAreRefused)
{
    std::vector<RasterPage> good = ReadRaster(ManualPages("1"));
    ASSERT_EQ(good.size(), 1u);
    ASSERT_EQ(good[0].header.HWResolution[0], 600u);
    std::string cache(1026, '\0');
    cache[1] = 0x20; // true 1200 x 1200 dpi
    WriteFile(Root() + "//tmp//q1200.dat", cache);
    struct Case {
        unsigned dpi;
        bool true1200;
        bool prints;
        const char *resolutionLine;
        uint32_t width, height; // the page on paper
    };
    // A6 (297 x 420 points): the 600-dpi canvas is 2304 x 3328, the 1200-dpi one 4576 x 6624.
    const Case cases[] = {
        {72, false, true, "@PJL SET RESOLUTION=600", 2304, 3328},
        {150, false, true, "@PJL SET RESOLUTION=600", 2304, 3328},
        {300, true, true, "@PJL SET RESOLUTION=600", 2304, 3328},
        {1200, false, true, "@PJL SET RESOLUTION=600", 2304, 3328},
        {1200, true, true, "@PJL SET RESOLUTION=1200", 4576, 6624},
        {1, false, false, nullptr, 0, 0},
        {71, false, false, nullptr, 0, 0},
        {1201, true, false, nullptr, 0, 0},
        {2400, false, false, nullptr, 0, 0},
        {20000, true, false, nullptr, 0, 0},
    };
    std::vector<Running> runs;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        RasterPage p = c.dpi <= 1200 && c.dpi >= 72 ? AtResolution(good[0], c.dpi) : good[0];
        p.header.HWResolution[0] = p.header.HWResolution[1] = c.dpi;
        std::string ras = Root() + "/dpi" + std::to_string(i) + ".ras";
        WriteRaster(ras, {p});
        RunOptions o;
        o.queue = c.true1200 ? "q1200" : "q600";
        o.jobId = std::to_string(200 + i);
        runs.push_back(StartFilter(ras, o));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(testing::Message() << c.dpi << " dpi" << (c.true1200 ? ", true 1200 dpi" : ""));
        RunResult r = Wait(runs[i]);
        unlink((Root() + "/dpi" + std::to_string(i) + ".ras").c_str());
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        if (c.prints) {
            EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
            EXPECT_TRUE(HasLine(job.header, c.resolutionLine));
            ASSERT_EQ(job.pages.size(), 1u);
            EXPECT_EQ(job.pages[0].width, c.width);
            EXPECT_EQ(job.pages[0].height, c.height);
            EXPECT_GT(job.pages[0].blackDots, 1000u);
        } else {
            EXPECT_EQ(r.status, 1);
            ExpectNoSanitizerReport(r);
            EXPECT_NE(r.err.find("ERROR: Page 1 refused: Raster page resolution"), std::string::npos)
                << r.err.substr(0, 2000);
            EXPECT_TRUE(job.pages.empty());
            EXPECT_EQ(job.close, CloseSequence(false));
        }
    }
    unlink((Root() + "//tmp//q1200.dat").c_str());
}

TEST(InputErrors, PageWithoutPrintableAreaIsRefusedNotSheared)
{
    std::vector<RasterPage> good = ReadRaster(ManualPages("1"));
    ASSERT_EQ(good.size(), 1u);
    struct Case {
        unsigned points;
        bool border; // the border-quality path instead of the plain screen
    };
    const Case cases[] = {{1, false}, {1, true}, {24, false}, {24, true}};
    std::vector<Running> runs;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        RasterPage p = good[0];
        p.header.PageSize[0] = p.header.PageSize[1] = cases[i].points;
        p.header.cupsInteger[7] = 51; // scaled to a width that is no whole number of 32-pixel groups
        p.header.cupsInteger[10] = cases[i].border ? 1 : 0;
        std::string ras = Root() + "/narrow" + std::to_string(i) + ".ras";
        WriteRaster(ras, {p});
        RunOptions o;
        o.jobId = std::to_string(300 + i);
        runs.push_back(StartFilter(ras, o));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE(testing::Message()
                     << cases[i].points << " points" << (cases[i].border ? ", border" : ""));
        RunResult r = Wait(runs[i]);
        unlink((Root() + "/narrow" + std::to_string(i) + ".ras").c_str());
        EXPECT_EQ(r.status, 1);
        ExpectNoSanitizerReport(r);
        EXPECT_NE(r.err.find("ERROR: Page size " + std::to_string(cases[i].points) + " x " +
                             std::to_string(cases[i].points) + " points leaves no printable area"),
                  std::string::npos)
            << r.err.substr(0, 2000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(job.pages.empty());
        EXPECT_EQ(job.close, CloseSequence(false));
    }
}

TEST(InputErrors, PageMemoryStaysTiedToTheRasterOrThePaper)
{
    // A page's canvas may be as large as its raster or as the printer's largest paper,
    // never thousands of times its raster: a 5,896-byte raster whose header claims
    // 14400 x 14400 points used to take 3.5 GB before it was scaled down to A4, and a
    // large scaling percentage 1.7 GB for a page cut to its paper right after.
    std::vector<RasterPage> good = ReadRaster(ManualPages("1"));
    ASSERT_EQ(good.size(), 1u);
    auto square = [&good](unsigned pixels, unsigned points, unsigned dpi, unsigned zeroEdge,
                          unsigned percent = 0) {
        RasterPage p = good[0];
        p.header.cupsWidth = p.header.cupsHeight = p.header.cupsBytesPerLine = pixels;
        p.header.PageSize[0] = p.header.PageSize[1] = points;
        p.header.HWResolution[0] = p.header.HWResolution[1] = dpi;
        p.header.cupsInteger[3] = zeroEdge; // 1: scaled into the printable area instead of cut
        p.header.cupsInteger[7] = percent;  // the user's scaling
        p.data.assign((size_t)pixels * pixels, '\xff');
        for (size_t i = 0; i < p.data.size(); i += 7)
            p.data[i] = 0;
        return p;
    };
    // A white page but for one corner: compressed, a few kilobytes whatever its size.
    auto blank = [&square](unsigned pixels, unsigned points, unsigned dpi) {
        RasterPage p = square(pixels, points, dpi, 0);
        std::fill(p.data.begin(), p.data.end(), '\xff');
        std::fill(p.data.begin(), p.data.begin() + 64, '\0');
        return p;
    };
    struct Case {
        const char *name;
        RasterPage page;
        bool prints;
        bool rasterTooLarge = false; // refused for its pixels, not for its page size
    };
    const Case cases[] = {
        {"real A4 page", ReadRaster(CupsRaster(kManual, {"PageSize=A4", "page-ranges=1"}))[0], true},
        {"64 pixels claiming 14400 points, cut", square(64, 14400, 300, 0), false},
        {"64 pixels claiming 14400 points, scaled", square(64, 14400, 300, 1), false},
        {"64 pixels claiming 1300 points at 1200 dpi", square(64, 1300, 1200, 0), false},
        {"64 pixels on a page of paper size", square(64, 842, 300, 0), true},
        {"custom page its raster fills, cut", square(1000, 1000, 72, 0), true},
        {"custom page its raster fills, scaled", square(1000, 1000, 72, 1), true},
        {"custom page larger than any paper, its raster filling it", square(2000, 2000, 72, 0), false, true},
        {"inch-sized page scaled 9900 percent", square(608, 72, 600, 0, 9900), true},
        {"compressed page of 18000 pixels a side at 600 dpi", blank(18000, 2160, 600), false, true},
    };
    std::vector<RasterPage> pages;
    for (const Case &c : cases)
        pages.push_back(c.page);
    RunOptions measured;
    measured.measurePeak = true;
    std::vector<RunResult> results = RunEach(pages, 400, measured);
    for (size_t i = 0; i < results.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        const cups_page_header2_t &h = c.page.header;
        const std::string points = std::to_string(h.PageSize[0]), dpi = std::to_string(h.HWResolution[0]);
        const std::string why =
            c.prints ? ""
            : c.rasterTooLarge
                ? RasterTooLarge(h)
                : "Page size " + points + " x " + points + " points at " + dpi +
                      " dpi is larger than any paper of this printer and far larger than the " +
                      std::to_string(h.cupsWidth) + " x " + std::to_string(h.cupsHeight) +
                      " pixels of the raster";
        ExpectPrintedOrRefused(c.name, results[i], why);
    }
}

TEST(InputErrors, RasterLargerThanTheLargestPaperIsRefused)
{
    // No page may cost more than a real page of the printer's largest paper (A3 here):
    // a red-and-black page of 65504 x 10900 pixels at 1200 dpi is 90 KB of compressed
    // raster and took 6 GB, where a real A3 page at that resolution takes 2.4.
    struct Case {
        const char *name;
        unsigned width, height, dpi, bits;
        unsigned pageW, pageH; // points
        bool prints;
    };
    const Case cases[] = {
        {"A3 at 300 dpi", 3508, 4963, 300, 8, 842, 1191, true},
        {"A3 at 300 dpi, turned", 4963, 3508, 300, 8, 1191, 842, true},
        {"a tenth more than A3 at 300 dpi", 3859, 5460, 300, 8, 842, 1191, false},
        {"red and black, 65504 x 10900 at 1200 dpi on an A3 page", 65504, 10900, 1200, 24, 842, 1191, false},
    };
    const cups_page_header2_t base = ReadRaster(ManualPages("1"))[0].header;
    std::vector<Running> runs;
    std::vector<cups_page_header2_t> headers;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        cups_page_header2_t h = base;
        h.cupsWidth = c.width;
        h.cupsHeight = c.height;
        h.HWResolution[0] = h.HWResolution[1] = c.dpi;
        h.PageSize[0] = c.pageW;
        h.PageSize[1] = c.pageH;
        h.cupsBitsPerPixel = c.bits;
        h.cupsBytesPerLine = c.width * c.bits / 8;
        if (c.bits == 24) {
            h.cupsColorSpace = CUPS_CSPACE_RGB;
            h.cupsColorOrder = CUPS_ORDER_CHUNKED;
            h.cupsInteger[4] = 1; // red and black
        }
        headers.push_back(h);
        // White with a black and a red bar: a few kilobytes whatever the size.
        std::string white(h.cupsBytesPerLine, '\xff'), bars = white;
        for (unsigned x = 100; x < 200; x++)
            for (unsigned k = 0; k < c.bits / 8; k++) {
                bars[x * (c.bits / 8) + k] = 0;
                bars[(x + 200) * (c.bits / 8) + k] = k == 0 ? '\xff' : 0;
            }
        std::string ras = Root() + "/paper" + std::to_string(i) + ".ras";
        int fd = open(ras.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        cups_raster_t *r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);
        cupsRasterWriteHeader2(r, &h);
        for (unsigned y = 0; y < c.height; y++) {
            std::string &row = (y / 100) % 2 ? bars : white;
            cupsRasterWritePixels(r, (unsigned char *)&row[0], h.cupsBytesPerLine);
        }
        cupsRasterClose(r);
        close(fd);
        RunOptions o;
        o.jobId = std::to_string(450 + i);
        o.measurePeak = true;
        runs.push_back(StartFilter(ras, o));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        RunResult r = Wait(runs[i]);
        unlink((Root() + "/paper" + std::to_string(i) + ".ras").c_str());
        ExpectPrintedOrRefused(c.name, r, c.prints ? "" : RasterTooLarge(headers[i]));
    }
}

TEST(InputErrors, PageLostInItsWorkerFailsTheJob)
{
    // A 600-dpi page without LSU is screened with the 128 x 128 matrix, whose threshold
    // table is 128 rows of 256 bytes: the first allocation of that size in a thread other
    // than the main one (page 1's worker) fails.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    RunOptions o;
    o.env = {"LD_PRELOAD=" FAIL_ALLOC_SHIM, "FAIL_ALLOC_SIZE=32768",
             // the sanitizer runtime need not come first: the preload hands every other call on to it
             "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"};
    RunResult r = RunFilter(ManualPages("1-2"), o);
    ASSERT_NE(r.err.find("Halftone_tbl is NULL"), std::string::npos) << r.err.substr(0, 2000);
    EXPECT_EQ(r.status, 1);
    ExpectNoSanitizerReport(r);
    EXPECT_NE(r.err.find("ERROR: Page 1 could not be prepared\n"), std::string::npos)
        << r.err.substr(0, 2000);
    // No white page stands in for the lost one, and the printer is told to drop the job.
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    for (const PageRec &p : job.pages) {
        EXPECT_FALSE(p.bitmap.empty());
        EXPECT_GT(p.setPixels, 0u);
    }
    EXPECT_EQ(job.close, CloseSequence(true));
}

TEST(InputErrors, WriterThatCannotStartEndsTheJob)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the stack limit that stops thread creation upsets the sanitizer's memory layout";
#else
    // With a stack limit of 64 TiB every new thread asks for a stack that size: none can start.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
    struct rlimit huge = saved;
    huge.rlim_cur = 1ull << 46;
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < huge.rlim_cur)
        GTEST_SKIP() << "the hard stack limit is too low for this test";
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &huge), 0);
    Running run = StartFilter(ManualPages("1"), RunOptions());
    setrlimit(RLIMIT_STACK, &saved);
    RunResult r = Wait(run);
    EXPECT_EQ(r.status, 1);
    ExpectNoSanitizerReport(r);
    EXPECT_NE(r.err.find("ERROR: Unable to start the output writer\n"), std::string::npos)
        << r.err.substr(0, 2000);
    EXPECT_EQ(r.out, CloseSequence(false));
#endif
}
