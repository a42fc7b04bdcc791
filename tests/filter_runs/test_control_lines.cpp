// Whole runs of the real filter with line feeds in everything a job brings
// (arguments, options, raster strings, the accounting answer): CUPS reads the
// filter's standard error line by line, so none of that text may start a line.
#include <gtest/gtest.h>

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
