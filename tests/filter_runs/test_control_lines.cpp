// Whole runs of the real filter with line feeds in everything a job brings
// (arguments, options, raster strings, the accounting answer), and with text
// long enough to fill the scheduler's line: CUPS reads the filter's standard
// error line by line, so none of that text may start a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "run_util.h"

using namespace runs;

namespace
{

std::vector<std::string> Lines(const std::string &s)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < s.size()) {
        size_t e = s.find('\n', at);
        if (e == std::string::npos)
            e = s.size();
        lines.push_back(s.substr(at, e - at));
        at = e + 1;
    }
    return lines;
}

// Standard error as the CUPS 2.4 scheduler reads it: into a 2048-byte buffer,
// where a line without a line feed within 2047 bytes ends there and the rest
// starts a line of its own.
std::vector<std::string> SchedulerLines(const std::string &s)
{
    const size_t kLine = 2047;
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < s.size()) {
        size_t e = s.find('\n', at);
        if (e != std::string::npos && e - at < kLine) {
            lines.push_back(s.substr(at, e - at));
            at = e + 1;
        } else {
            lines.push_back(s.substr(at, kLine));
            at += kLine;
        }
    }
    return lines;
}

// The lines the scheduler acts on (all but debug lines), in order of their text.
std::vector<std::string> ControlLines(const std::string &err)
{
    std::vector<std::string> control;
    for (const std::string &line : SchedulerLines(err))
        if (line.rfind("DEBUG", 0) != 0)
            control.push_back(line);
    std::sort(control.begin(), control.end());
    return control;
}

// One page of the manual with `text` in the raster header's cupsString[0].
std::string RasterWithString(const std::string &text)
{
    std::vector<RasterPage> pages = ReadRaster(ManualPages("1"));
    pages.resize(1);
    char *s = pages[0].header.cupsString[0];
    memset(s, 0, sizeof pages[0].header.cupsString[0]);
    memcpy(s, text.data(), std::min(text.size(), sizeof pages[0].header.cupsString[0] - 1));
    std::string path = Root() + "/string.ras";
    WriteRaster(path, pages);
    return path;
}

} // namespace

TEST(ControlLines, TextFromTheJobNeverStartsALineOnStandardError)
{
    ASSERT_TRUE(InstallAccountingTool());
    const std::string plain = ManualPages("1");
    const std::string reply = Root() + "/forged-reply.json";
    WriteFile(reply, "{\"AUTHCODE\": \"A1\", \"USERNAME\": \"bob\nSTATE: +answer-forged-error\"}");
    struct Case {
        const char *what;
        std::string forged; // the line the text would make
        RunOptions o;
        std::string raster;
    };
    std::vector<Case> cases(7);
    cases[0] = {"title", "PPD: *DefaultDuplex: DuplexTumble", {}, plain};
    cases[0].o.title = "report\n" + cases[0].forged;
    cases[1] = {"user name", "STATE: +media-empty-error", {}, plain};
    cases[1].o.user = "alice\n" + cases[1].forged;
    cases[2] = {"option value", "ERROR: Printer on fire", {}, plain};
    cases[2].o.options = "Mood='calm\n" + cases[2].forged + "' Collate=False";
    cases[3] = {"carriage return in the title", "STATE: +cr-forged-error", {}, plain};
    cases[3].o.title = "report\r" + cases[3].forged;
    cases[4] = {"raster string", "ATTR: marker-levels=0", {}, RasterWithString("x\nATTR: marker-levels=0")};
    cases[5] = {"accounting answer", "STATE: +answer-forged-error", {}, plain};
    cases[5].o.ppd = PpdVariant("rmq0lines", {{"DriverFeature", "\"16\""}});
    cases[5].o.env = {"ATM_SIM_REPLY=" + reply};
    // The tool shares nothing of the filter's standard error: what it says there
    // would reach CUPS as the filter's own lines.
    cases[6] = {"accounting tool's own output", "STATE: +tool-forged-error", {}, plain};
    cases[6].o.title = "report\n" + cases[6].forged;
    cases[6].o.ppd = cases[5].o.ppd;
    cases[6].o.env = {"ATM_SIM_CHATTY=1"};
    const char *const prefixes[] = {"DEBUG: ", "ATTR: ", "STATE: ", "PAGE: "};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = RunFilter(c.raster, c.o);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);
        ASSERT_EQ(ParseJob(r.out).pages.size(), 1u);
        // The text is still logged, on a line of the filter's own.
        EXPECT_NE(r.err.find(c.forged), std::string::npos);
        EXPECT_EQ(r.err.find('\r'), std::string::npos);
        for (const std::string &line : Lines(r.err)) {
            EXPECT_NE(line.rfind(c.forged, 0), 0u) << "forged line: " << line;
            bool known = false;
            for (const char *p : prefixes)
                known |= line.rfind(p, 0) == 0;
            EXPECT_TRUE(known) << "a line the filter did not mean: " << line;
        }
    }
}

TEST(ControlLines, TextTooLongForTheSchedulersLineNeverStartsALine)
{
    // Cut where the scheduler cuts the line that logs the argument, the end of
    // the text would be a line of its own: PAGE counts pages, PPD changes the
    // queue, STATE the printer's state, ERROR the job's message.
    const std::string logged = "DEBUG: [---filter---][--main--] argv[3] = ";
    const size_t fill = 2047 - logged.size();
    const std::string plain = ManualPages("1");
    struct Case {
        std::string what, forged;
        RunOptions o;
    };
    std::vector<Case> cases;
    for (const char *forged : {"PAGE:99", "PPD:A=B", "STATE:x", "ERROR:x"}) {
        Case title{std::string("title ending in ") + forged, forged, {}};
        title.o.title = std::string(fill, 't') + forged;
        cases.push_back(title);
        // argv[5] is logged under a label of the same length.
        Case options{std::string("options ending in ") + forged, forged, {}};
        options.o.options = "Mood=" + std::string(fill - 5, 'o') + forged;
        cases.push_back(options);
    }
    std::vector<Running> runs;
    for (size_t i = 0; i < cases.size(); i++) {
        cases[i].o.jobId = std::to_string(500 + i);
        runs.push_back(StartFilter(plain, cases[i].o));
    }
    RunOptions shortTitle;
    shortTitle.jobId = "499";
    RunResult ref = RunFilter(plain, shortTitle);
    ASSERT_EQ(ref.status, 0) << ref.err.substr(0, 3000);
    const std::vector<std::string> expected = ControlLines(ref.err);
    ASSERT_FALSE(expected.empty());
    for (size_t i = 0; i < cases.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.what);
        RunResult r = Wait(runs[i]);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);
        ASSERT_EQ(ParseJob(r.out).pages.size(), 1u);
        EXPECT_EQ(ControlLines(r.err), expected);
        // Every line fits the scheduler's: it reads them as they were written.
        EXPECT_EQ(SchedulerLines(r.err), Lines(r.err));
    }
}
