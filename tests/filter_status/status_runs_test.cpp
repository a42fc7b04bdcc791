// Whole filter runs against the simulated status-monitor library: the roads
// without it, capabilities, printer errors, the Cancel button, accounting and
// supplies, as the print system would see them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_harness.h"

using runs::capBlock;
using runs::has;

namespace {

const unsigned ABORT_ON_ERROR = 0x40;
const char kNetPrinter[] = "printer=q1 socket://10.0.0.5:9100\n";
const char kHostCancel[] = "@PJL HOST_CANCEL";
const char kErrorOn[] = "STATE: +\xe9\x94\x99\xe8\xaf\xaf";  // "STATE: +错误"
const char kErrorOff[] = "STATE: -\xe9\x94\x99\xe8\xaf\xaf"; // "STATE: -错误"

std::string plainRaster() { return runs::raster(""); }

void expectPrinted(const runs::Result &r, int pages)
{
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(has(r.out, kHostCancel));
    EXPECT_EQ(simenv::countLines(r.pages, " ok"), pages) << r.pages;
}

// The PJL lines of a job stream, for failure messages.
std::string pjlLines(const std::string &out)
{
    std::string text;
    for (const std::string &l : simenv::lines(out))
        if (l.compare(0, 4, "@PJL") == 0)
            text += l + "\n";
    return text;
}

} // namespace

TEST(StatusRuns, RoadsWithoutAFullLibrary)
{
    ASSERT_FALSE(plainRaster().empty());
    const std::string idRaster = runs::raster("-o AuthMode=ID");
    ASSERT_FALSE(idRaster.empty());
    struct Case {
        const char *what;
        const char *lib;
        unsigned driverFeature;
        std::string state;
        std::string cache, cacheName;
        std::vector<std::string> callsMade, callsNotMade;
        std::vector<std::string> pjlPresent, pjlAbsent;
    } cases[] = {
        {"no library: the cache still sets the capabilities",
         nullptr, 0, kNetPrinter, capBlock(0, 0x01), "",
         {},
         {},
         {"@PJL SET ENCRYPTION = SSL"},
         {"@PJL SET USERNAME="}},
        {"library without query, status and accounting entries",
         SIM_PARTIAL_LIB, 0, kNetPrinter, "", "",
         {"GetPrinterList_s max=70", "WeakupNetPrinter port=socket://10.0.0.5:9100",
          "ReadWriteMemory rw=1 item=1 printer=q1 JobID=42"},
         {"SendPrinterControl", "QueryPrinterStatus", "ReadWriteMemoryEx"},
         {},
         {"@PJL SET ENCRYPTION = SSL", "@PJL SET USERNAME="}},
        {"queue not in the list: registration only",
         SIM_FULL_LIB, 0, "printer=other socket://10.0.0.9\ncap=00 01\nacc_id=alice\n", "", "",
         {"GetPrinterList_s max=70", "IsPSMRunning", "ReadWriteMemory rw=1 item=1 printer=q1 JobID=42",
          "ReadWriteMemory rw=1 item=2 printer=q1 JobID=0"},
         {"SendPrinterControl", "WeakupNetPrinter", "QueryPrinterStatus", "ReadWriteMemoryEx",
          "ReadWriteMemory rw=0"},
         {},
         {"@PJL SET ENCRYPTION = SSL", "@PJL SET USERNAME="}},
        {"status monitor turned off in the PPD: shared cache, no registration, no polls",
         SIM_FULL_LIB, 0x100, std::string(kNetPrinter) + "cap=10 00\nacc_id=alice\n", capBlock(0, 0x01), "PRN.dat",
         {"GetPrinterList_s max=70", "WeakupNetPrinter", "IsPSMRunning", "ReadWriteMemoryEx rw=0"},
         {"SendPrinterControl", "ReadWriteMemory rw", "QueryPrinterStatus"},
         {"@PJL SET ENCRYPTION = SSL", "@PJL SET USERNAME=\"alice\""},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        runs::Setup job;
        job.lib = c.lib;
        job.driverFeature = c.driverFeature;
        job.cacheName = c.cacheName;
        job.state = c.state;
        job.cache = c.cache;
        job.rasterFile = idRaster; // asks for the accounting dialog, which none of these may show
        runs::Result r = runs::run(job);
        expectPrinted(r, 1);
        for (const std::string &call : c.callsMade)
            EXPECT_TRUE(has(r.calls, call)) << call << "\n" << r.calls;
        for (const std::string &call : c.callsNotMade)
            EXPECT_FALSE(has(r.calls, call)) << call << "\n" << r.calls;
        for (const std::string &line : c.pjlPresent)
            EXPECT_TRUE(has(r.out, line)) << line;
        for (const std::string &line : c.pjlAbsent)
            EXPECT_FALSE(has(r.out, line)) << line;
        if (!c.lib) {
            EXPECT_TRUE(r.calls.empty());
            EXPECT_EQ(simenv::countLines(r.log, "hwbridge.so fail!"), 5) << r.log;
        }
        EXPECT_FALSE(has(r.err, "STATE: +")) << r.err;
    }
}

TEST(StatusRuns, CapabilityQueryDrivesTheJob)
{
    const std::string hiRes = runs::raster("-o Resolution=1200dpi");
    const std::string lowPower = runs::raster("-o LowPower=On");
    ASSERT_FALSE(hiRes.empty());
    ASSERT_FALSE(lowPower.empty());
    struct Case {
        const char *what;
        std::string state;
        std::string cacheBefore;
        std::string raster;
        std::string cacheAfter;
        std::vector<std::string> pjl, pjlAbsent, pageFields, pageFieldsAbsent;
    } cases[] = {
        {"answer: SSL, checksum and true 1200 dpi", "cap=10 21\n", capBlock(0, 0), hiRes, capBlock(0x10, 0x21),
         {"@PJL SET ENCRYPTION = SSL", "@PJL SET RESOLUTION=1200"},
         {},
         {"encrypted=1", "checksum=0x"},
         {}},
        {"answer: raw data and two bits", "cap=c0 00\n", "", lowPower, capBlock(0xc0, 0),
         {"@PJL SET BITSPERPIXEL=2"},
         {"@PJL SET ENCRYPTION = SSL"},
         {"comp=0", "bits=2"},
         {"encrypted=1"}},
        {"three failures read the cache", "cap=10 21\ncap_fail=3\n", capBlock(0, 0x01), hiRes, capBlock(0, 0x01),
         {"@PJL SET ENCRYPTION = SSL", "@PJL SET RESOLUTION=600"},
         {},
         {"encrypted=1"},
         {"checksum=0x"}},
        {"three failures, no cache: all bits 0", "cap=10 21\ncap_fail=3\n", "", hiRes, "",
         {"@PJL SET RESOLUTION=600", "@PJL SET BITSPERPIXEL=1"},
         {"@PJL SET ENCRYPTION = SSL"},
         {},
         {"encrypted=1", "checksum=0x"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        runs::Setup job;
        job.lib = SIM_FULL_LIB;
        job.state = kNetPrinter + c.state;
        job.cache = c.cacheBefore;
        job.rasterFile = c.raster;
        runs::Result r = runs::run(job);
        expectPrinted(r, 1);
        EXPECT_EQ(r.cache, c.cacheAfter);
        EXPECT_EQ(simenv::countLines(r.calls, "SendPrinterControl printer=q1 func=13 len=1026"),
                  has(c.state, "cap_fail=3") ? 3 : 1);
        for (const std::string &line : c.pjl)
            EXPECT_TRUE(has(r.out, line)) << line;
        for (const std::string &line : c.pjlAbsent)
            EXPECT_FALSE(has(r.out, line)) << line;
        for (const std::string &f : c.pageFields)
            EXPECT_TRUE(has(r.pages, f)) << f << "\n" << r.pages;
        for (const std::string &f : c.pageFieldsAbsent)
            EXPECT_FALSE(has(r.pages, f)) << f << "\n" << r.pages;
    }
}

TEST(StatusRuns, PrinterCancelButtonCancelsTheJob)
{
    const std::string threePages =
        runs::raster("-o page-ranges=1-3", "/usr/share/doc/libtasn1-doc/libtasn1.pdf");
    ASSERT_FALSE(threePages.empty());
    runs::Setup job;
    job.lib = SIM_FULL_LIB;
    job.state = std::string(kNetPrinter) + "psm=1\ncancel_at=2\nlog_time=1\n";
    job.rasterFile = threePages;
    runs::Result r = runs::run(job);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, kHostCancel));
    EXPECT_TRUE(has(r.calls, "ReadWriteMemory rw=1 item=2 printer=q1 JobID=42 CancelReady=1")) << r.calls;
    // The job is unregistered only after the cancel pause.
    long long pressed = runs::callTime(r.calls, "cancel=1");
    long long unregistered = runs::callTime(r.calls, "ReadWriteMemory rw=1 item=1 printer=q1 JobID=42 CancelReady=1");
    ASSERT_GT(pressed, 0) << "no time-stamped Cancel poll in the call log:\n" << r.calls;
    EXPECT_GE(unregistered - pressed, 5000) << r.calls;
    EXPECT_LT(simenv::countLines(r.pages, " ok"), 3);
}

TEST(StatusRuns, AbortOnErrorSuspendsUntilTheErrorClears)
{
    runs::Setup job;
    job.lib = SIM_FULL_LIB;
    // Without the status-monitor process the printer is asked every 10 s.
    job.state = std::string(kNetPrinter) + "status=0:7,500001\nstatus=1:\n";
    job.driverFeature = ABORT_ON_ERROR;
    job.rasterFile = plainRaster();
    runs::Result r = runs::run(job);
    expectPrinted(r, 1);
    EXPECT_EQ(simenv::countLines(r.err, kErrorOn), 1) << r.err;
    EXPECT_GE(simenv::countLines(r.err, kErrorOff), 1) << r.err;
    EXPECT_LT(r.err.find(kErrorOn), r.err.find(kErrorOff));
    EXPECT_GE(r.secs, 10.0) << "the page waited for the error to clear";
}

TEST(StatusRuns, ErrorsAreOnlyLoggedWithoutAbortOnError)
{
    struct Case {
        const char *what;
        std::string state;
    } cases[] = {
        {"with the status-monitor process", "psm=1\n"},
        {"asking the printer directly", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        runs::Setup job;
        job.lib = SIM_FULL_LIB;
        job.state = kNetPrinter + c.state + "status=0:500001,7,500001\n";
        job.rasterFile = plainRaster();
        runs::Result r = runs::run(job);
        expectPrinted(r, 1);
        EXPECT_LT(r.secs, 10.0);
        EXPECT_FALSE(has(r.err, "STATE: +")) << r.err;
        EXPECT_TRUE(has(r.log, "ErrNum = 1")) << r.log;
        EXPECT_TRUE(has(r.calls, "codes=500001,7,500001")) << r.calls;
    }
}

TEST(StatusRuns, AccountingAnswerReachesTheJobHeader)
{
    struct Case {
        const char *what;
        std::string authMode;
        std::string answer;
        std::vector<std::string> pjl, pjlAbsent;
        double minSecs;
    } cases[] = {
        {"account ID", "ID", "acc_id=alice7\nacc_pwd=unused\n", {"@PJL SET USERNAME=\"alice7\""}, {"@PJL SET ACCTPASS="}, 0},
        {"ID and password, password typed later", "IDPassword", "acc_id=alice7\nacc_pwd=s3cret\nacc_pwd_at=1\n",
         {"@PJL SET USERNAME=\"alice7\"", "@PJL SET ACCTPASS=\"s3cret\""}, {}, 3.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        runs::Setup job;
        job.lib = SIM_FULL_LIB;
        job.state = kNetPrinter + c.answer;
        job.rasterFile = runs::raster("-o AuthMode=" + c.authMode);
        ASSERT_FALSE(job.rasterFile.empty());
        runs::Result r = runs::run(job);
        expectPrinted(r, 1);
        for (const std::string &line : c.pjl)
            EXPECT_TRUE(has(r.out, line)) << line;
        for (const std::string &line : c.pjlAbsent)
            EXPECT_FALSE(has(r.out, line)) << line;
        EXPECT_GE(r.secs, c.minSecs);
        for (const std::string &l : simenv::lines(r.log))
            if (has(l, "--AccountingDlg--")) {
                EXPECT_FALSE(has(l, "s3cret")) << "the password went into the debug log: " << l;
            }
    }
}

TEST(StatusRuns, UsbPrinterReportsItsCartridge)
{
    runs::Setup job;
    job.lib = SIM_FULL_LIB;
    job.state = "printer=q1 usb://Maker/JYX-30?serial=7\ncartridge=37\n";
    job.rasterFile = plainRaster();
    runs::Result r = runs::run(job);
    expectPrinted(r, 1);
    EXPECT_EQ(simenv::countLines(r.err, "ATTR: marker-levels=37"), 1) << r.err;
    EXPECT_FALSE(has(r.calls, "WeakupNetPrinter"));
}

TEST(StatusRuns, CarelessLibraryAnswersAreHandledSafely)
{
    // Unterminated names and ports, an error count far beyond the code list,
    // account fields filled to their end.
    const std::string idPwRaster = runs::raster("-o AuthMode=IDPassword");
    ASSERT_FALSE(idPwRaster.empty());
    struct Case {
        const char *what;
        std::string state;
    } cases[] = {
        {"with the status-monitor process", "psm=1\n"},
        {"asking the printer directly", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        runs::Setup job;
        job.lib = SIM_FULL_LIB;
        job.state = kNetPrinter + c.state + "garbage=1\nstatus=0:7\nacc_id=bob\nacc_pwd=pw\n";
        job.rasterFile = idPwRaster;
        runs::Result r = runs::run(job);
        expectPrinted(r, 1);
        EXPECT_TRUE(has(r.out, "@PJL SET USERNAME=\"bob" + std::string(26, 'Z') + "\"\r\n"))
            << "ID cut at its field\n" << pjlLines(r.out);
        EXPECT_TRUE(has(r.out, "@PJL SET ACCTPASS=\"pw" + std::string(27, 'Y') + "\"\r\n")) << pjlLines(r.out);
        EXPECT_TRUE(has(r.log, "ErrNum = 512")) << "error count cut to the code list\n" << r.calls;
    }
}

// Slow: the error must outlast the 60 s time-out (polls every 10 s).
TEST(StatusRunsSlow, LastingErrorCancelsTheJob)
{
    runs::Setup job;
    job.lib = SIM_FULL_LIB;
    job.state = std::string(kNetPrinter) + "status=0:7\n";
    job.driverFeature = ABORT_ON_ERROR;
    job.rasterFile = plainRaster();
    job.timeoutSec = 120;
    runs::Result r = runs::run(job);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.secs, 60.0);
    EXPECT_TRUE(has(r.out, kHostCancel));
    EXPECT_EQ(simenv::countLines(r.err, kErrorOn), 1) << r.err;
    EXPECT_EQ(simenv::countLines(r.err, kErrorOff), 1) << r.err;
    EXPECT_EQ(simenv::countLines(r.pages, " ok"), 0) << r.pages;
    EXPECT_TRUE(has(r.calls, "CancelReady=1"));
}
