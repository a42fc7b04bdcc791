// A raster header is untrusted input: a real one-page raster with one
// enum-typed field set outside its enumeration either prints or is refused
// with an "ERROR:" line, and the sanitizer builds report nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "run_util.h"

using namespace runs;

namespace
{

template <typename E> void SetWord(E &field, uint32_t v)
{
    static_assert(sizeof(E) == sizeof v, "a 32-bit header field");
    memcpy(&field, &v, sizeof v); // the bytes a raster file carries, whatever the enumeration
}

struct FieldCase {
    const char *name;
    std::function<void(cups_page_header2_t &)> set;
};

const FieldCase kFields[] = {
    {"Duplex", [](cups_page_header2_t &h) { SetWord(h.Duplex, 7); }},
    {"Tumble", [](cups_page_header2_t &h) { SetWord(h.Tumble, 7); }},
    {"Collate", [](cups_page_header2_t &h) { SetWord(h.Collate, 7); }},
    {"Orientation", [](cups_page_header2_t &h) { SetWord(h.Orientation, 7); }},
    {"cupsColorOrder", [](cups_page_header2_t &h) { SetWord(h.cupsColorOrder, 7); }},
    {"cupsColorSpace", [](cups_page_header2_t &h) { SetWord(h.cupsColorSpace, 255); }},
    {"InsertSheet", [](cups_page_header2_t &h) { SetWord(h.InsertSheet, 7); }},
    {"Jog", [](cups_page_header2_t &h) { SetWord(h.Jog, 7); }},
    {"LeadingEdge", [](cups_page_header2_t &h) { SetWord(h.LeadingEdge, 7); }},
    {"ManualFeed", [](cups_page_header2_t &h) { SetWord(h.ManualFeed, 7); }},
    {"MirrorPrint", [](cups_page_header2_t &h) { SetWord(h.MirrorPrint, 7); }},
    {"NegativePrint", [](cups_page_header2_t &h) { SetWord(h.NegativePrint, 7); }},
    {"OutputFaceUp", [](cups_page_header2_t &h) { SetWord(h.OutputFaceUp, 7); }},
    {"Separations", [](cups_page_header2_t &h) { SetWord(h.Separations, 7); }},
    {"TraySwitch", [](cups_page_header2_t &h) { SetWord(h.TraySwitch, 7); }},
    {"AdvanceMedia", [](cups_page_header2_t &h) { SetWord(h.AdvanceMedia, 255); }},
    {"CutMedia", [](cups_page_header2_t &h) { SetWord(h.CutMedia, 255); }},
};

} // namespace

TEST(HeaderFields, OutOfRangeEnumFieldsPrintOrAreRefused)
{
    std::vector<RasterPage> src =
        ReadRaster(CupsRaster(kManual, {"PageSize=A6", "page-ranges=1", "Duplex=DuplexNoTumble"}));
    ASSERT_EQ(src.size(), 1u);
    // All runs at once: each spends most of its time in the filter's per-page wait.
    std::vector<Running> running;
    for (const FieldCase &c : kFields) {
        std::vector<RasterPage> pages = src;
        c.set(pages[0].header);
        std::string ras = Root() + "/field-" + c.name + ".ras";
        WriteRaster(ras, pages);
        running.push_back(StartFilter(ras, RunOptions()));
    }
    for (size_t i = 0; i < running.size(); i++) {
        const FieldCase &c = kFields[i];
        SCOPED_TRACE(c.name);
        RunResult r = Wait(running[i]);
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos)
            << r.err.substr(r.err.find("runtime error"), 400);
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err.substr(r.err.find("Sanitizer"), 400);
        Job job = ParseJob(r.out);
        bool printed = r.status == 0 && job.ok && !job.pages.empty();
        bool refused = r.err.find("ERROR:") != std::string::npos;
        EXPECT_TRUE(printed || refused) << "status " << r.status << ", " << job.pages.size() << " pages";
    }
}
