// Whole runs on three real manual pages: the job is two-sided or not as one
// decision (the raster's Duplex, or the accounting answer in RMQ mode 0), and
// the DUPLEX line, the sheet pairing, the white last back and the back-page
// turn on ZR4 printers all follow it. Tumble is decided once the same way (the
// first page's Tumble, or an answer of CALENDAR or BOOKLET), and the
// DUPLEXTYPE line and the turn of every back page follow that. Pages are told
// apart by their decoded bitmaps against a one-sided run of the same raster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "run_util.h"

using namespace runs;

namespace
{

const unsigned kZr4 = 0x1000000; // DRVF_ZR4_CHIP
const unsigned kRmqMode0 = 0x10; // DRVF_RMQ_MODE0

// What the accounting tool does in RMQ mode 0; any other text is its JSON answer.
const char *const kNoAccounting = nullptr;    // RMQ mode 0 off
const char *const kToolDefault = "(default)"; // the stand-in's own answer, DUPLEX "OFF"
const char *const kToolFails = "(fails)";     // the tool writes nothing

struct DuplexCase {
    const char *name;
    std::vector<uint32_t> rasterDuplex; // Duplex word of pages 1 to 3 as on the wire
    bool zr4;
    const char *accounting;
    const char *duplexLine;         // value of "@PJL SET DUPLEX="
    std::vector<std::string> pages; // output order: page number, "^" when turned, "w" for a white page
    const char *duplexTypeLine = "BOOKLET";  // value of "@PJL SET DUPLEXTYPE="
    std::vector<uint32_t> rasterTumble = {}; // Tumble word of pages 1 to 3; empty: as cupsfilter made it (0)
};

// Accounting answers that turn duplex on and name a binding edge, or do not.
const char *const kOnBooklet = "{\"DUPLEX\": \"ON\", \"DUPLEXTYPE\": \"BOOKLET\"}";
const char *const kOnCalendar = "{\"DUPLEX\": \"ON\", \"DUPLEXTYPE\": \"CALENDAR\"}";
const char *const kOnCalendarLower = "{\"duplex\": \"on\", \"duplextype\": \"calendar\"}";
const char *const kOnShort = "{\"DUPLEX\": \"ON\", \"DUPLEXTYPE\": \"SHORT\"}";
const char *const kOnLong = "{\"DUPLEX\": \"ON\", \"DUPLEXTYPE\": \"LONG\"}";
const char *const kCalendarOnly = "{\"DUPLEXTYPE\": \"CALENDAR\"}";
// Output orders of the paired sheets, with and without the turned back page.
const std::vector<std::string> kBackTurned = {"2^", "1", "w", "3"};
const std::vector<std::string> kBackAsIs = {"2", "1", "w", "3"};

const DuplexCase kCases[] = {
    {"TwoSidedRaster", {1, 1, 1}, true, kNoAccounting, "ON", {"2^", "1", "w", "3"}},
    {"TwoSidedNoZr4", {1, 1, 1}, false, kNoAccounting, "ON", {"2", "1", "w", "3"}},
    {"DuplexTwoCountsAsOn", {2, 2, 2}, false, kNoAccounting, "ON", {"2", "1", "w", "3"}},
    {"DuplexSevenCountsAsOn", {7, 7, 7}, true, kNoAccounting, "ON", {"2^", "1", "w", "3"}},
    {"LaterPageFollowsTheJob", {1, 0, 1}, true, kNoAccounting, "ON", {"2^", "1", "w", "3"}},
    {"OneSidedRaster", {0, 0, 0}, true, kNoAccounting, "OFF", {"1", "2", "3"}},
    {"AnswerOffTwoSided", {1, 1, 1}, true, kToolDefault, "OFF", {"1", "2", "3"}},
    {"AnswerOffTwoSidedNoZr4", {1, 1, 1}, false, kToolDefault, "OFF", {"1", "2", "3"}},
    {"AnswerOnOneSided", {0, 0, 0}, true, "{\"duplex\": \"on\"}", "on", {"2^", "1", "w", "3"}},
    {"AnswerOnOneSidedNoZr4", {0, 0, 0}, false, "{\"DUPLEX\": \"ON\"}", "ON", {"2", "1", "w", "3"}},
    {"ToolFailsTwoSided", {1, 1, 1}, true, kToolFails, "OFF", {"1", "2", "3"}},
    {"AnswerWithoutDuplexTwoSided", {1, 1, 1}, false, "{\"USERNAME\": \"u\"}", "OFF", {"1", "2", "3"}},
    {"AnswerNeitherOnNorOff", {1, 1, 1}, true, "{\"DUPLEX\": \"YES\"}", "OFF", {"1", "2", "3"}},
    // Tumble: the long-edge control is TwoSidedRaster above.
    {"TumbleRaster", {1, 1, 1}, true, kNoAccounting, "ON", kBackAsIs, "CALENDAR", {1, 1, 1}},
    {"TumbleRasterNoZr4", {1, 1, 1}, false, kNoAccounting, "ON", kBackAsIs, "CALENDAR", {1, 1, 1}},
    {"LaterPageFollowsTheTumble", {1, 1, 1}, true, kNoAccounting, "ON", kBackAsIs, "CALENDAR", {1, 0, 1}},
    {"AnswerBookletOverTumble", {1, 1, 1}, true, kOnBooklet, "ON", kBackTurned, "BOOKLET", {1, 1, 1}},
    {"AnswerCalendarOverNoTumble", {1, 1, 1}, true, kOnCalendar, "ON", kBackAsIs, "CALENDAR"},
    {"AnswerCalendarOneSided", {0, 0, 0}, true, kOnCalendar, "ON", kBackAsIs, "CALENDAR"},
    {"AnswerCalendarLowerCase", {0, 0, 0}, true, kOnCalendarLower, "on", kBackAsIs, "calendar"},
    {"AnswerOtherTypeKeepsTumble", {1, 1, 1}, true, kOnShort, "ON", kBackAsIs, "CALENDAR", {1, 1, 1}},
    {"AnswerOtherTypeKeepsNoTumble", {1, 1, 1}, true, kOnLong, "ON", kBackTurned, "BOOKLET"},
    {"AnswerCalendarOneSidedJob", {1, 1, 1}, true, kCalendarOnly, "OFF", {"1", "2", "3"}, "CALENDAR"},
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const DuplexCase &c, std::ostream *os)
{
    *os << c.name;
}

void SetWord(cups_bool_t &field, uint32_t v)
{
    memcpy(&field, &v, sizeof v); // any 32-bit value, as a raster file can carry it
}

std::vector<uint8_t> Turned(const std::vector<uint8_t> &bitmap)
{
    std::vector<uint8_t> t(bitmap.rbegin(), bitmap.rend());
    for (uint8_t &b : t) {
        uint8_t r = 0;
        for (int i = 0; i < 8; i++)
            r |= ((b >> i) & 1) << (7 - i);
        b = r;
    }
    return t;
}

std::string RasterWithDuplex(const std::vector<uint32_t> &duplex, const std::string &name,
                             const std::vector<uint32_t> &tumble = {})
{
    std::vector<RasterPage> pages = ReadRaster(ManualPages("1-3"));
    EXPECT_EQ(pages.size(), duplex.size());
    for (size_t i = 0; i < pages.size() && i < duplex.size(); i++)
        SetWord(pages[i].header.Duplex, duplex[i]);
    for (size_t i = 0; i < pages.size() && i < tumble.size(); i++)
        SetWord(pages[i].header.Tumble, tumble[i]);
    std::string path = Root() + "/" + name + ".ras";
    WriteRaster(path, pages);
    return path;
}

// Names every page of `job` after the reference page it shows.
std::vector<std::string> PageNames(const Job &job, const Job &ref)
{
    std::vector<std::string> names;
    for (const PageRec &p : job.pages) {
        std::string name = "?";
        if (!p.bitmap.empty() && p.setPixels == 0) {
            name = "w";
        } else {
            for (size_t k = 0; k < ref.pages.size(); k++) {
                const PageRec &r = ref.pages[k];
                if (r.width != p.width || r.height != p.height)
                    continue;
                if (r.bitmap == p.bitmap)
                    name = std::to_string(k + 1);
                else if (Turned(r.bitmap) == p.bitmap)
                    name = std::to_string(k + 1) + "^";
            }
        }
        names.push_back(name);
    }
    return names;
}

std::string Line(const Job &job, const std::string &prefix)
{
    for (const std::string &l : job.header)
        if (l.rfind(prefix, 0) == 0)
            return l.substr(prefix.size());
    return "(none)";
}

class DuplexDecision : public ::testing::TestWithParam<DuplexCase>
{
};

} // namespace

TEST_P(DuplexDecision, LinePairingAndTurnAgree)
{
    const DuplexCase &c = GetParam();
    std::string feature = std::to_string((c.zr4 ? kZr4 : 0) | (c.accounting ? kRmqMode0 : 0));
    std::string refFeature = std::to_string(c.zr4 ? kZr4 : 0);

    // The one-sided reference: same pages, same halftone, no turn.
    RunOptions refOpts;
    refOpts.ppd = PpdVariant("ref", {{"DriverFeature", "\"" + refFeature + "\""}});
    RunResult refRun = RunFilter(RasterWithDuplex({0, 0, 0}, "ref"), refOpts);
    ASSERT_EQ(refRun.status, 0) << refRun.err;
    Job ref = ParseJob(refRun.out);
    ASSERT_TRUE(ref.ok) << ref.problem;
    ASSERT_EQ(ref.pages.size(), 3u);
    for (const PageRec &p : ref.pages) {
        ASSERT_FALSE(p.bitmap.empty());
        ASSERT_GT(p.setPixels, 0u);
        ASSERT_NE(Turned(p.bitmap), p.bitmap); // a turn must be visible
    }

    RunOptions o;
    o.ppd = PpdVariant("job", {{"DriverFeature", "\"" + feature + "\""}});
    if (c.accounting) {
        ASSERT_TRUE(InstallAccountingTool());
    }
    if (c.accounting == kToolFails) {
        o.env.push_back("ATM_SIM_FAIL=1");
    } else if (c.accounting && c.accounting != kToolDefault) {
        std::string reply = Root() + "/atm-reply.json";
        WriteFile(reply, c.accounting);
        o.env.push_back("ATM_SIM_REPLY=" + reply);
    }
    RunResult r = RunFilter(RasterWithDuplex(c.rasterDuplex, "job", c.rasterTumble), o);
    ASSERT_EQ(r.status, 0) << r.err;
    Job job = ParseJob(r.out);
    ASSERT_TRUE(job.ok) << job.problem;
    EXPECT_EQ(Line(job, "@PJL SET DUPLEX="), c.duplexLine);
    EXPECT_EQ(Line(job, "@PJL SET DUPLEXTYPE="), c.duplexTypeLine);
    EXPECT_EQ(PageNames(job, ref), c.pages);
    EXPECT_EQ(job.close, CloseSequence(false));
}

INSTANTIATE_TEST_SUITE_P(Cases, DuplexDecision, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DuplexCase> &i) {
                             return std::string(i.param.name);
                         });
