// Whole runs of the real filter on raster made by cupsfilter from real
// documents; the job stream is parsed here and its pages decoded by jbgtopbm.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_util.h"
#include "scheduler.h"

using namespace runs;

namespace
{

// The first `pages` of `src` with the given copies and duplex, as a raster file.
std::string CopiesRaster(const std::vector<RasterPage> &src, int pages, bool duplex, unsigned copies)
{
    std::vector<RasterPage> v(src.begin(), src.begin() + pages);
    for (auto &p : v) {
        p.header.NumCopies = copies;
        p.header.Duplex = duplex ? CUPS_TRUE : CUPS_FALSE;
    }
    std::string ras = Root() + "/copies.ras";
    WriteRaster(ras, v);
    return ras;
}

// The simplex reference run of the first five manual pages, made once.
const std::vector<uint32_t> &ReferenceDots()
{
    static std::vector<uint32_t> dots = [] {
        RunResult r = RunFilter(ManualPages("1-5"));
        return BlackDots(ParseJob(r.out));
    }();
    return dots;
}

void ExpectPagesDecodeToTheirHeaders(const Job &job)
{
    for (size_t i = 0; i < job.pages.size(); i++) {
        SCOPED_TRACE(testing::Message() << "page " << i + 1);
        const PageRec &p = job.pages[i];
        ASSERT_FALSE(p.bitmap.empty()) << "page does not decode";
        EXPECT_EQ(p.width % 32, 0u);
        EXPECT_EQ(p.height % 32, 0u);
        EXPECT_EQ(p.datasize, p.height * p.width * p.bits / 8);
        EXPECT_EQ(p.bitmap.size(), (size_t)p.datasize);
        EXPECT_EQ(p.setPixels, p.blackDots);
    }
}

} // namespace

TEST(FilterRun, PlainJobHeaderPagesAndClose)
{
    std::string ras =
        CupsRaster(kTestPage, {"PageSize=A6", "Density=D6", "InputSlot=Tray2", "MediaType=Thick"});
    ASSERT_FALSE(ras.empty());
    RunOptions o;
    o.title = "Quarterly report";
    o.viaStdin = false;
    RunResult r = RunFilter(ras, o);
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_TRUE(job.startCancel);
    char host[65] = {0};
    gethostname(host, 64);
    // Lines whose values the test does not know in advance are checked by prefix.
    std::vector<std::string> want = {
        "@PJL",
        "@PJL JOB NAME=\"",
        "@PJL SET TIMEOUT=300",
        "@PJL COMMENT Filter Version,1.0.0",
        "@PJL COMMENT Quarterly report",
        "@PJL COMMENT alice",
        std::string("@PJL COMMENT ") + host,
        "@PJL COMMENT q1",
        "@PJL COMMENT ",
        "@PJL COMMENT ",
        "@PJL COMMENT 2",
        "@PJL COMMENT ",
        "@PJL COMMENT JBIG,00, 8",
        "@PJL COMMENT Copies,1",
        "@PJL COMMENT ",
        "@PJL SET JOBNAME=\"alice:Quarterly report\"",
        "@PJL SET ECONOMODE=OFF",
        "@PJL SET DENSITY=7",
        "@PJL SET AUTOSELECT=OFF",
        "@PJL SET DUPLEX=OFF",
        "@PJL SET DUPLEXTYPE=BOOKLET",
        "@PJL SET RESOLUTION=600",
        "@PJL SET RET=OFF",
        "@PJL SET BITSPERPIXEL=1",
        "@PJL SET COPIES=1",
        "@PJL SET MEDIASOURCE=TRAY1",
        "@PJL SET JUSTIFIED=LEFT",
        "@PJL SET MIRROR=OFF",
        "@PJL SET MARGINS=NORMAL",
        "@PJL SET BIDICOMM=OFF",
        "@PJL SET ORIENTATION=PORTRAIT",
        "@PJL ENTER LANGUAGE=QZGDI",
    };
    ASSERT_EQ(job.header.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(job.header[i].rfind(want[i], 0), 0u) << "line " << i + 1 << ": " << job.header[i];
    ASSERT_EQ(job.pages.size(), 1u);
    const PageRec &p = job.pages[0];
    // A6 at 600 dpi: printable area 2275 x 3300, canvas 2304 x 3328.
    EXPECT_EQ(p.width, 2304u);
    EXPECT_EQ(p.height, 3328u);
    EXPECT_EQ(p.comp, 1);
    EXPECT_EQ(p.compsize, p.payload.size());
    EXPECT_EQ(p.paper, 4);  // A6
    EXPECT_EQ(p.media, 17); // thick
    EXPECT_EQ(p.tray, 2);
    EXPECT_GT(p.blackDots, 1000u);
    ExpectPagesDecodeToTheirHeaders(job);
    EXPECT_EQ(job.close, CloseSequence(false));
    EXPECT_NE(r.out.size() % 512, 0u);
    EXPECT_NE(r.err.find("ATTR: marker-levels=75\n"), std::string::npos);
}

TEST(FilterRun, PayloadFormsDecodeToTheSamePages)
{
    struct Case {
        const char *name;
        const char *driverFeature;
        uint8_t capability0; // from the queue's capability cache
        uint8_t comp;
    };
    const Case cases[] = {
        {"raw", "\"1\"", 0x00, 0},
        {"jbig", "\"0\"", 0x00, 1},
        {"jbig on zr4", "\"16777216\"", 0x00, 2},
        {"jbig with checksum", "\"0\"", 0x10, 3},
        {"zr4 with checksum", "\"16777216\"", 0x10, 4},
        {"raw data capability", "\"0\"", 0x40, 0},
    };
    std::string ras = ManualPages("1-2");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string cache(1026, '\0');
        cache[0] = (char)c.capability0;
        WriteFile(Root() + "//tmp//qform.dat", cache);
        RunOptions o;
        o.queue = "qform";
        o.ppd =
            PpdVariant(std::string("form") + std::to_string(c.comp), {{"DriverFeature", c.driverFeature}});
        RunResult r = RunFilter(ras, o);
        ASSERT_EQ(r.status, 0) << r.err;
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        ASSERT_EQ(job.pages.size(), 2u);
        for (const PageRec &p : job.pages) {
            EXPECT_EQ(p.comp, c.comp);
            EXPECT_EQ(p.compsize, p.payload.size());
            if (c.comp == 0) {
                EXPECT_EQ(p.compsize, p.datasize);
            }
            ASSERT_FALSE(p.bitmap.empty());
            EXPECT_EQ(p.bitmap.size(), (size_t)p.datasize);
            // The ZR4 checksum marks four corner bytes after the count was taken.
            int64_t diff = (int64_t)p.setPixels - (int64_t)p.blackDots;
            EXPECT_LE(std::abs(diff), c.comp == 4 ? 32 : 0);
        }
        EXPECT_EQ(HasLine(job.header, "@PJL COMMENT JBIG,00,64"), c.comp == 2 || c.comp == 4);
    }
    unlink((Root() + "//tmp//qform.dat").c_str());
}

TEST(FilterRun, DuplexSendsBackPagesFirstWithAWhiteLastBack)
{
    RunResult r = RunFilter(ManualPages("1-5", {"Duplex=DuplexNoTumble"}));
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_TRUE(HasLine(job.header, "@PJL SET DUPLEX=ON"));
    const auto &ref = ReferenceDots();
    ASSERT_EQ(ref.size(), 5u);
    EXPECT_EQ(BlackDots(job), (std::vector<uint32_t>{ref[1], ref[0], ref[3], ref[2], 0, ref[4]}));
    ExpectPagesDecodeToTheirHeaders(job);
    EXPECT_EQ(job.close, CloseSequence(false));
    // Nothing of the job is left in the shared spool path.
    EXPECT_NE(access((Root() + "//tmp//swspool.dat").c_str(), F_OK), 0);
}

TEST(FilterRun, CollatedCopiesAreReplayedFromTheSpoolFile)
{
    const auto &ref = ReferenceDots();
    struct Case {
        const char *name;
        int pages;
        bool duplex;
        unsigned copies;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {"simplex, three copies", 2, false, 3, {ref[0], ref[1], ref[0], ref[1], ref[0], ref[1]}},
        // Three pages two-sided get a white fourth, and every copy keeps the back-first order.
        {"duplex, two copies", 3, true, 2, {ref[1], ref[0], 0, ref[2], ref[1], ref[0], 0, ref[2]}},
    };
    std::vector<RasterPage> src = ReadRaster(ManualPages("1-3"));
    ASSERT_EQ(src.size(), 3u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string ras = CopiesRaster(src, c.pages, c.duplex, c.copies);
        RunOptions o;
        o.options = "Collate=True";
        RunResult r = RunFilter(ras, o);
        unlink(ras.c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(HasLine(job.header, "@PJL SET COPIES=1"));
        EXPECT_TRUE(HasLine(job.header, "@PJL COMMENT Copies," + std::to_string(c.copies)));
        EXPECT_EQ(BlackDots(job), c.want);
        EXPECT_EQ(job.close, CloseSequence(false));
    }
}

// CUPS's page log counts the "PAGE: number copies" lines of the last filter:
// one per page record sent, spooled and replayed ones included.
TEST(FilterRun, EveryPageSentIsReportedToThePageLog)
{
    struct Case {
        const char *name;
        int pages;
        bool duplex;
        unsigned copies;
        const char *collate;
        unsigned sent;      // page records in the job
        unsigned perRecord; // copies the printer makes of each
    };
    const Case cases[] = {
        {"simplex, one copy", 2, false, 1, "False", 2, 1},
        {"printer makes the copies", 2, false, 3, "False", 2, 3},
        {"duplex with a white last back", 3, true, 1, "False", 4, 1},
        {"collated copies replayed", 3, true, 2, "True", 8, 1},
    };
    std::vector<RasterPage> src = ReadRaster(ManualPages("1-3"));
    ASSERT_EQ(src.size(), 3u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string ras = CopiesRaster(src, c.pages, c.duplex, c.copies);
        RunOptions o;
        o.options = std::string("Collate=") + c.collate;
        RunResult r = RunFilter(ras, o);
        unlink(ras.c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        ASSERT_EQ(job.pages.size(), c.sent);
        std::vector<std::string> got, want;
        std::istringstream err(r.err);
        for (std::string line; std::getline(err, line);)
            if (line.rfind("PAGE:", 0) == 0)
                got.push_back(line);
        for (unsigned i = 1; i <= c.sent; i++)
            want.push_back("PAGE: " + std::to_string(i) + " " + std::to_string(c.perRecord));
        EXPECT_EQ(got, want);
    }
}

TEST(FilterRun, FitToPaperAndScaling)
{
    // A Letter page fitted to A4 comes out on the A4 canvas.
    RunResult fit = RunFilter(CupsRaster(kTestPage, {"PageSize=Letter", "FitToPaper=FitA4"}));
    ASSERT_EQ(fit.status, 0) << fit.err;
    Job job = ParseJob(fit.out);
    ASSERT_TRUE(job.ok) << job.problem;
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(job.pages[0].width, 4768u);
    EXPECT_EQ(job.pages[0].height, 6816u);
    EXPECT_EQ(job.pages[0].paper, 2);
    ExpectPagesDecodeToTheirHeaders(job);

    // At 50 % the content shrinks into the top-left quarter of the same canvas.
    RunResult full = RunFilter(CupsRaster(kTestPage, {"PageSize=A6"}));
    RunResult half = RunFilter(CupsRaster(kTestPage, {"PageSize=A6", "Scaling=S50"}));
    Job a = ParseJob(full.out), b = ParseJob(half.out);
    ASSERT_EQ(a.pages.size(), 1u);
    ASSERT_EQ(b.pages.size(), 1u);
    ASSERT_EQ(b.pages[0].width, a.pages[0].width);
    const PageRec &p = b.pages[0];
    ASSERT_FALSE(p.bitmap.empty());
    uint32_t maxRow = 0, maxByte = 0;
    for (uint32_t y = 0; y < p.height; y++)
        for (uint32_t x = 0; x < p.rowBytes; x++)
            if (p.bitmap[(size_t)y * p.rowBytes + x]) {
                maxRow = std::max(maxRow, y);
                maxByte = std::max(maxByte, x);
            }
    EXPECT_LT(maxRow, p.height * 55 / 100);
    EXPECT_LT(maxByte, p.rowBytes * 55 / 100);
    EXPECT_LT(p.blackDots, a.pages[0].blackDots / 2);
}

TEST(FilterRun, RedAndBlackPagesCarryTwoPlanes)
{
    RunResult r = RunFilter(CupsRaster(kTestPage, {"PageSize=A6", "ColorModel=RedBlack"}));
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(job.pages[0].colors, 2);
    EXPECT_EQ(job.pages[0].height, 2 * 3328u);
    ExpectPagesDecodeToTheirHeaders(job);
}

TEST(FilterRun, EncryptedPagesWhenThePrinterAsks)
{
    // Without a status monitor the capabilities come from the queue's cache file.
    std::string cache(1026, '\0');
    cache[1] = 0x01; // SSL
    WriteFile(Root() + "//tmp//qssl.dat", cache);
    RunOptions o;
    o.queue = "qssl";
    RunResult r = RunFilter(ManualPages("1"), o);
    unlink((Root() + "//tmp//qssl.dat").c_str());
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_TRUE(HasLine(job.header, "@PJL SET ENCRYPTION = SSL"));
    ASSERT_EQ(job.pages.size(), 1u);
    const PageRec &p = job.pages[0];
    uint32_t n = (uint8_t)p.payload[0] | (uint8_t)p.payload[1] << 8 | (uint8_t)p.payload[2] << 16 |
                 (uint32_t)(uint8_t)p.payload[3] << 24;
    EXPECT_EQ(n % 16, 0u);
    EXPECT_GT(n, p.compsize);
    // The printer-side reader decrypts and decodes it.
    std::string file = Root() + "/ssl.prn", dir = Root() + "/ssl-pages";
    WriteFile(file, r.out);
    mkdir(dir.c_str(), 0700);
    std::string cmd = std::string(QZGDI_DECODE_BIN) + " " + dir + " " + file + " > /dev/null 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(FilterRun, JobWithoutPagesWritesOnlyTheClose)
{
    std::string empty = Root() + "/empty.ras", syncOnly = Root() + "/sync.ras";
    WriteFile(empty, "");
    WriteRaster(syncOnly, {});
    for (const std::string &ras : {empty, syncOnly}) {
        SCOPED_TRACE(ras);
        RunResult r = RunFilter(ras);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CloseSequence(false));
    }
}

TEST(FilterRun, BadRasterIsRefusedWithAnErrorAndAClosedJob)
{
    std::vector<RasterPage> good = ReadRaster(ManualPages("1"));
    ASSERT_EQ(good.size(), 1u);
    struct Case {
        const char *name;
        void (*spoil)(RasterPage &);
        bool goodPageFirst;
    };
    const Case cases[] = {
        {"truncated page", [](RasterPage &p) { p.data.resize(p.data.size() / 3); }, true},
        {"bytes per line too small", [](RasterPage &p) { p.header.cupsBytesPerLine /= 2; }, false},
        {"one bit per pixel",
         [](RasterPage &p) {
             p.header.cupsBitsPerColor = p.header.cupsBitsPerPixel = 1;
             p.header.cupsBytesPerLine = (p.header.cupsWidth + 7) / 8;
             p.data.resize((size_t)p.header.cupsBytesPerLine * p.header.cupsHeight);
         },
         false},
        {"sixteen bits per pixel",
         [](RasterPage &p) {
             p.header.cupsBitsPerColor = p.header.cupsBitsPerPixel = 16;
             p.header.cupsBytesPerLine = p.header.cupsWidth * 2;
             p.data.assign((size_t)p.header.cupsBytesPerLine * 4, '\xff');
         },
         false},
        {"size overflowing 32 bits",
         [](RasterPage &p) {
             p.header.cupsWidth = 70000;
             p.header.cupsHeight = 70000;
             p.header.cupsBytesPerLine = 70000;
             p.data.assign(70000, '\xff');
         },
         true},
        {"width disagreeing with bytes per line", [](RasterPage &p) { p.header.cupsWidth *= 4; }, false},
        {"zero resolution", [](RasterPage &p) { p.header.HWResolution[0] = 0; }, false},
        {"absurd scaling percent", [](RasterPage &p) { p.header.cupsInteger[7] = 4000000000u; }, false},
        {"absurd page size", [](RasterPage &p) { p.header.PageSize[0] = p.header.PageSize[1] = 3000000; },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RasterPage> pages;
        if (c.goodPageFirst)
            pages.push_back(good[0]);
        RasterPage bad = good[0];
        c.spoil(bad);
        pages.push_back(bad);
        std::string ras = Root() + "/bad.ras";
        WriteRaster(ras, pages);
        RunResult r = RunFilter(ras);
        unlink(ras.c_str());
        EXPECT_EQ(r.status, 1);
        // A sanitizer report ends with status 1 as well.
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err.substr(0, 4000);
        EXPECT_NE(r.err.find("\nERROR: "), std::string::npos) << r.err.substr(0, 2000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        // The job closes at once: a good page still in the ring may or may not have gone out.
        EXPECT_LE(job.pages.size(), c.goodPageFirst ? 1u : 0u);
        EXPECT_EQ(job.close, CloseSequence(false));
        if (c.goodPageFirst)
            ExpectPagesDecodeToTheirHeaders(job);
    }
}

TEST(FilterRun, AccountingToolGetsTheTitleAsOneArgument)
{
    ASSERT_TRUE(InstallAccountingTool());
    std::string ppd = PpdVariant("rmq0", {{"DriverFeature", "\"16\""}});
    std::string ras = ManualPages("1");
    const char *titles[] = {"a\"; touch "
                            "PWNED"
                            "; \"",
                            "$(touch PWNED)", "../../etc/x", "%s%n%x", "plain"};
    for (const char *title : titles) {
        SCOPED_TRACE(title);
        std::string log = Root() + "/atm.log";
        unlink(log.c_str());
        RunOptions o;
        o.ppd = ppd;
        o.title = title;
        o.env = {"ATM_SIM_LOG=" + log};
        RunResult r = RunFilter(ras, o);
        ASSERT_EQ(r.status, 0) << r.err;
        // The tool saw exactly its four arguments and the title whole.
        std::string args = ReadFile(log);
        EXPECT_NE(args.find(std::string("argc=5\n-f\n")), std::string::npos) << args;
        EXPECT_NE(args.find(std::string("\n-n\n") + title + "\n"), std::string::npos) << args;
        EXPECT_NE(access("PWNED", F_OK), 0);
        EXPECT_NE(access((Root() + "/PWNED").c_str(), F_OK), 0);
        // The JSON job file lies in the temporary folder whatever the title, and is gone once read.
        size_t f = args.find("\n-f\n" + Root() + "//tmp//");
        ASSERT_NE(f, std::string::npos) << args;
        std::string json = args.substr(f + 4, args.find('\n', f + 4) - f - 4);
        EXPECT_EQ(json.find('/', Root().size() + 7), std::string::npos) << json;
        EXPECT_NE(access(json.c_str(), F_OK), 0) << json;
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(HasLine(job.header, "@PJL SET FAUTHCODE=\"A1B2C3\""));
        EXPECT_TRUE(HasLine(job.header, "@PJL SET USERNAME=\"acct-user\""));
        EXPECT_TRUE(HasLine(job.header, "@PJL SET CHECKAUTHCODEURL=\"http://127.0.0.1/check\""));
        EXPECT_TRUE(HasLine(job.header, "@PJL SET DUPLEX=OFF"));
    }
    EXPECT_NE(access((Root() + "/etc").c_str(), F_OK), 0);
}

TEST(FilterRun, SaveToFileCopyOnlyInAPrivateFolder)
{
    std::string dir = Root() + "//tmp//saveprn";
    mkdir(dir.c_str(), 0700);
    std::string ras = ManualPages("1");
    RunResult r = RunFilter(ras);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string copy = dir + "/job12.prn";
    EXPECT_EQ(ReadFile(copy), r.out);
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    unlink(copy.c_str());

    // A folder anybody can write to gets no copy.
    chmod(dir.c_str(), 0777);
    r = RunFilter(ras);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(access(copy.c_str(), F_OK), 0);

    // A link planted at the copy's name is not followed.
    chmod(dir.c_str(), 0700);
    std::string victim = Root() + "/victim";
    WriteFile(victim, "untouched");
    ASSERT_EQ(symlink(victim.c_str(), copy.c_str()), 0);
    r = RunFilter(ras);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(victim), "untouched");
    unlink(copy.c_str());
    rmdir(dir.c_str());
}

TEST(FilterRun, TwoDuplexJobsAtOnceKeepTheirOwnPages)
{
    std::string a = ManualPages("1-2", {"Duplex=DuplexNoTumble"});
    std::string b = ManualPages("3-4", {"Duplex=DuplexNoTumble"});
    RunOptions oa, ob;
    oa.queue = "qa";
    oa.jobId = "21";
    ob.queue = "qb";
    ob.jobId = "22";
    Running ra = StartFilter(a, oa);
    Running rb = StartFilter(b, ob);
    RunResult resA = Wait(ra), resB = Wait(rb);
    ASSERT_EQ(resA.status, 0) << resA.err;
    ASSERT_EQ(resB.status, 0) << resB.err;
    const auto &ref = ReferenceDots();
    EXPECT_EQ(BlackDots(ParseJob(resA.out)), (std::vector<uint32_t>{ref[1], ref[0]}));
    EXPECT_EQ(BlackDots(ParseJob(resB.out)), (std::vector<uint32_t>{ref[3], ref[2]}));
}

TEST(FilterRun, TermIsReportedAndTheJobRunsOn)
{
    RunOptions o;
    o.termAfterMs = 400; // during the first page's wait
    RunResult r = RunFilter(ManualPages("1"), o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("STATE: -\xe9\x94\x99\xe8\xaf\xaf\n"), std::string::npos);
    EXPECT_NE(r.err.find("Spool cancel!, id = 12"), std::string::npos);
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(job.close, CloseSequence(false));
}

TEST(FilterRun, VanishedBackendEndsTheJob)
{
    RunOptions o;
    o.closeStdoutEarly = true;
    RunResult r = RunFilter(ManualPages("1-3"), o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: "), std::string::npos);
}

TEST(FilterRun, UsageAndUnopenableFile)
{
    // Too few arguments: the usage text on standard output, status 1.
    std::string cmd = std::string(RASTERPRESS_BIN) + " 1 2 3 > " + Root() + "/usage.out 2>/dev/null";
    int st = system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(ReadFile(Root() + "/usage.out"),
              "Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n");
    RunOptions o;
    o.viaStdin = false;
    RunResult r = RunFilter(Root() + "/no-such.ras", o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Unable to open print file"), std::string::npos);
}

TEST(FilterRun, A3ClassDuplexSizeChangeStartsANewSheet)
{
    std::vector<RasterPage> a6 = ReadRaster(ManualPages("1", {"Duplex=DuplexNoTumble"}));
    std::vector<RasterPage> a5 =
        ReadRaster(CupsRaster(kManual, {"PageSize=A5", "page-ranges=3", "Duplex=DuplexNoTumble"}));
    ASSERT_EQ(a6.size(), 1u);
    ASSERT_EQ(a5.size(), 1u);
    RasterPage white = a5[0];
    white.data.assign(white.data.size(), '\xff');
    std::string ras = Root() + "/a3class.ras";
    WriteRaster(ras, {a6[0], white, a5[0]});
    RunOptions o;
    o.ppd = PpdVariant("a3class", {{"DriverFeature", "\"33554432\""}});
    RunResult r = RunFilter(ras, o);
    unlink(ras.c_str());
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    // Sheet 1: the A6 page with an inserted white back; the white A5 page read next
    // is dropped; sheet 2: the A5 page with the white back of the job's end.
    ASSERT_EQ(job.pages.size(), 4u);
    EXPECT_EQ(job.pages[0].blackDots, 0u);
    EXPECT_GT(job.pages[1].blackDots, 0u);
    EXPECT_EQ(job.pages[2].blackDots, 0u);
    EXPECT_GT(job.pages[3].blackDots, 0u);
    EXPECT_EQ(job.pages[0].paper, job.pages[1].paper); // the back has its front's size
    EXPECT_EQ(job.pages[3].paper, 131);                // A5 fed long edge first
    ExpectPagesDecodeToTheirHeaders(job);
}

TEST(FilterRun, QueueDescriptionMissingOrWithJclText)
{
    std::string ras = ManualPages("1");
    // Without a PPD every attribute takes its default and no paper size is known.
    RunOptions o;
    o.ppd = Root() + "/no-such.ppd";
    RunResult r = RunFilter(ras, o);
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(job.pages[0].paper, 96);
    EXPECT_TRUE(HasLine(job.header, "@PJL COMMENT Filter Version,"));

    // The PPD's JCL prologue follows the job header, behind one ESC byte of its own.
    std::string ppd = Root() + "/jcl.ppd";
    WriteFile(ppd, ReadFile(BasePpd()) + "*JCLBegin: \"@PJL SET QUIET=ON<0A>\"\n", 0644);
    o.ppd = ppd;
    r = RunFilter(ras, o);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string enter = "@PJL ENTER LANGUAGE=QZGDI\r\n";
    size_t at = r.out.find(enter);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.out.substr(at + enter.size(), 19), "\x1b@PJL SET QUIET=ON\n");
    EXPECT_EQ(r.out.compare(at + enter.size() + 19, 4,
                            std::string("\x1b"
                                        "EGD",
                                        4)),
              0);
}

TEST(FilterRun, PrinterCancelGivesTheCancelledClose)
{
    // The simulated status monitor reports the printer's Cancel button at once.
    std::string lib = Root() + "/usr/bin/hwbridge.so", state = Root() + "/hwbridge-cancel";
    ASSERT_EQ(system(("mkdir -p " + Root() + "/usr/bin && cp " HWBRIDGE_SIM " " + lib).c_str()), 0);
    WriteFile(state, "printer=qcancel socket://127.0.0.2:9100\npsm=1\ncancel_at=0\n");
    struct Case {
        const char *name;
        const char *driverFeature;
        bool header; // with abort-on-error the job ends before its header
    };
    const Case cases[] = {{"plain", "\"0\"", true}, {"abort on error", "\"64\"", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions o;
        o.queue = "qcancel";
        o.ppd = PpdVariant(std::string("cancel") + c.driverFeature[1], {{"DriverFeature", c.driverFeature}});
        o.env = {"HWBRIDGE_SIM_STATE=" + state};
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = RunFilter(ManualPages("1-2"), o);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ASSERT_EQ(r.status, 0) << r.err;
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_EQ(job.startCancel, c.header);
        EXPECT_TRUE(job.pages.empty());
        EXPECT_TRUE(job.close == CloseSequence(true) || job.close == CloseSequence(true, true));
        EXPECT_GE(secs, 5.0); // the pause before the job is unregistered
    }
    unlink(lib.c_str());
}

TEST(FilterRun, PrintedThroughARealScheduler)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the scheduler must be able to run its filters as user lp";
    const auto &ref = ReferenceDots();
    Scheduler cupsd;
    ASSERT_TRUE(cupsd.Start());
    ASSERT_TRUE(cupsd.Shell("lpadmin -p 127.0.0.2 -E -v file://" + cupsd.Out() + " -P " + BasePpd() +
                            " 2>/dev/null"));
    ASSERT_TRUE(cupsd.Shell(
        std::string("lp -d 127.0.0.2 -o PageSize=A6 -o Duplex=DuplexNoTumble -o page-ranges=1-3 ") + kManual +
        " > /dev/null"));
    bool done = false;
    for (int i = 0; i < 600 && !done; i++) {
        usleep(100 * 1000);
        done = cupsd.Shell("lpstat -W completed -o 127.0.0.2 | grep -q 127.0.0.2-1");
    }
    ASSERT_TRUE(done) << cupsd.JobLog();
    Job job = ParseJob(ReadFile(cupsd.Out()));
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_TRUE(HasLine(job.header, "@PJL COMMENT 127.0.0.2"));
    EXPECT_TRUE(HasLine(job.header, "@PJL COMMENT file://" + cupsd.Out()));
    EXPECT_TRUE(HasLine(job.header, "@PJL SET DUPLEX=ON"));
    EXPECT_EQ(BlackDots(job), (std::vector<uint32_t>{ref[1], ref[0], 0, ref[2]}));
    ExpectPagesDecodeToTheirHeaders(job);
    EXPECT_EQ(job.close, CloseSequence(false));
    // The spool file was the filter's own and is gone.
    EXPECT_NE(access((cupsd.FilterRoot() + "//tmp//swspool.dat").c_str(), F_OK), 0);
}

TEST(FilterRun, AccountingAnswerTurningDuplexOnPairsTheSheets)
{
    ASSERT_TRUE(InstallAccountingTool());
    std::string reply = Root() + "/atm-reply.json";
    WriteFile(reply, "{\"duplex\": \"on\", \"DUPLEXTYPE\": \"BOOKLET\"}");
    RunOptions o;
    o.ppd = PpdVariant("rmq0", {{"DriverFeature", "\"16\""}});
    o.env = {"ATM_SIM_REPLY=" + reply};
    RunResult r = RunFilter(ManualPages("1-3"), o); // a one-sided raster
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_TRUE(HasLine(job.header, "@PJL SET DUPLEX=on"));
    const auto &ref = ReferenceDots();
    EXPECT_EQ(BlackDots(job), (std::vector<uint32_t>{ref[1], ref[0], 0, ref[2]}));
}
