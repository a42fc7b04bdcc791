// qzgdi-decode reads a job the way the printer does: jobs made of real page
// records come back as the pages that went in; damaged jobs are refused.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pagerecord.h"
#include "rasterpress.h"
#include "record_test_util.h"

namespace {

std::string gDecoder; // path of the qzgdi-decode binary, from the command line

struct Page {
    unsigned w, h;
    Bytes bits;
    DWORD drvf;
    std::initializer_list<int> caps;
    unsigned twoBit = 0; // cupsInteger[8] value
};

Bytes pageRecord(const Page &p)
{
    JobInfo *s = new JobInfo{};
    s->page_width = p.w;
    s->page_height = p.h;
    s->linebyte = p.w / 8;
    s->pagesize = DWORD(p.bits.size());
    s->lpbuf = static_cast<BYTE *>(std::malloc(p.bits.size()));
    std::memcpy(s->lpbuf, p.bits.data(), p.bits.size());
    s->DriverFeature = p.drvf;
    for (int c : p.caps)
        s->Feature[c >> 3] |= BYTE(1 << (c & 7));
    s->inheader.cupsInteger[8] = p.twoBit;
    s->inheader.PageSize[0] = 595;
    s->inheader.PageSize[1] = 842;
    EXPECT_TRUE(ImageCompress(s));
    PJL_WritePageHeader(s, s->lpbuf + 2, s->CompressSize, s->blackDots);
    Bytes rec(s->lpbuf, s->lpbuf + PAGE_RECORD_HEAD + s->outLen);
    std::free(s->lpbuf);
    delete s;
    return rec;
}

void append(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }

// The shape of the filter's stream: cancel sequence, padding, header lines,
// records, close sequence.
Bytes job(const std::vector<Bytes> &records, bool encrypted)
{
    const std::string uel = "\x1b%-12345X";
    Bytes b;
    append(b, "\x1b" "E" + uel + "@PJL CANCEL\r\n@PJL EOJ\r\n" + uel);
    b.insert(b.end(), 512, 0);
    append(b, uel + "@PJL\r\n@PJL JOB NAME=\"123\"\r\n");
    if (encrypted)
        append(b, "@PJL SET ENCRYPTION = SSL\r\n");
    append(b, "@PJL ENTER LANGUAGE=QZGDI\r\n");
    for (const Bytes &r : records)
        b.insert(b.end(), r.begin(), r.end());
    append(b, "\x1b" "E" + uel + "@PJL\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + uel);
    return b;
}

struct Result {
    int status;
    std::string out;
};

Result decode(const TempDir &dir, const Bytes &stream, const std::string &opts = "")
{
    writeFile(dir.file("job.prn"), stream);
    Result r;
    r.status = run(gDecoder + " " + opts + " " + dir.file("pages") + " " + dir.file("job.prn") +
                   " > " + dir.file("out.txt"));
    Bytes o = readFile(dir.file("out.txt"));
    r.out.assign(o.begin(), o.end());
    return r;
}

Bytes textPage(unsigned w, unsigned h, uint32_t seed)
{
    Bytes b = noise(size_t(w / 8) * h, seed);
    for (size_t i = 0; i < b.size(); ++i)
        if ((i / (w / 8)) % 4)
            b[i] = 0; // mostly white rows
    return b;
}

class DecodeTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (auto &row : gPaperFormat)
            row.enable = 1;
        ginheader_bak.PageSize[0] = 595;
        ginheader_bak.PageSize[1] = 842;
    }
    TempDir dir;
};

TEST_F(DecodeTest, PagesComeBackAsTheyWentIn)
{
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "clear");
        std::initializer_list<int> ssl = {CAP_SSL};
        std::initializer_list<int> none = {};
        std::initializer_list<int> sum = {CAP_CHECKSUM};
        std::initializer_list<int> sslSum = {CAP_CHECKSUM, CAP_SSL};
        const std::vector<Page> pages = {
            {256, 64, textPage(256, 64, 1), 0, encrypted ? ssl : none},
            {256, 64, textPage(256, 64, 2), DRVF_DISABLE_COMPRESS, encrypted ? ssl : none},
            {256, 64, textPage(256, 64, 3), 0, encrypted ? sslSum : sum},
            {256, 64, textPage(256, 64, 4), DRVF_ZR4_CHIP, encrypted ? sslSum : sum},
        };
        std::vector<Bytes> recs;
        for (const Page &p : pages)
            recs.push_back(pageRecord(p));
        Result r = decode(dir, job(recs, encrypted));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("pjl: @PJL ENTER LANGUAGE=QZGDI\n"), std::string::npos);
        EXPECT_NE(r.out.find("pjl: @PJL SET TIMEOUT=5\n"), std::string::npos);
        EXPECT_NE(r.out.find("pages: 4\n"), std::string::npos);
        for (int comp : {1, 0, 3, 4})
            EXPECT_NE(r.out.find("comp=" + std::to_string(comp)), std::string::npos) << comp;
        for (size_t i = 0; i < pages.size(); ++i) {
            Bitmap bm;
            char name[64];
            std::snprintf(name, sizeof name, "pages/page-%03zu.pbm", i + 1);
            ASSERT_TRUE(readPbm(dir.file(name), &bm)) << name;
            Bytes want = pages[i].bits;
            if (pages[i].drvf & DRVF_ZR4_CHIP) // the printer sees the corner marks
                for (size_t at : {size_t(0), size_t(31), size_t(32 * 63), want.size() - 1})
                    want[at] = 0xAA;
            EXPECT_TRUE(bm.bits == want) << name;
        }
    }
}

TEST_F(DecodeTest, TwoBitPageIsShownOneBitPerPixel)
{
    // Two bits a pixel (10 = black): 128 pixels are 256 bits a row.
    const unsigned pixels = 128, h = 32;
    Bytes expanded(size_t(pixels / 4) * h, 0);
    expanded[0] = 0x80; // the top-left pixel black
    Result r = decode(dir, job({pageRecord({pixels * 2, h, expanded, 0, {CAP_TWO_BIT_600}, 2})},
                               false));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("page 1: 128x32 bits=2"), std::string::npos) << r.out;
    Bitmap bm;
    ASSERT_TRUE(readPbm(dir.file("pages/page-001.pbm"), &bm));
    EXPECT_EQ(bm.width, pixels);
    EXPECT_EQ(bm.bits[0], 0x80);
    EXPECT_EQ(popcount(bm.bits.data(), bm.bits.size()), 1u);
}

TEST_F(DecodeTest, PngAndBieFiles)
{
    Bytes rec = pageRecord({256, 64, textPage(256, 64, 5), 0, {}});
    Result r = decode(dir, job({rec}, false), "--png --bie");
    ASSERT_EQ(r.status, 0) << r.out;
    Bytes png = readFile(dir.file("pages/page-001.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(hex(png.data(), 8), "89504e470d0a1a0a");
    // The restored image entity decodes with JBIG-KIT's own tool.
    ASSERT_EQ(run("jbgtopbm " + dir.file("pages/page-001.jbg") + " " + dir.file("j.pbm")), 0);
    Bitmap bm;
    ASSERT_TRUE(readPbm(dir.file("j.pbm"), &bm));
    EXPECT_TRUE(bm.bits == textPage(256, 64, 5));
}

TEST_F(DecodeTest, RedAndBlackPageBecomesAColourImage)
{
    // Two stacked planes of 32 rows: black on top, red below. Pixel 0 of the
    // first row is black, pixel 1 red, pixel 2 in both planes (black wins).
    const unsigned w = 64, planeRows = 32;
    Bytes planes(size_t(w / 8) * planeRows * 2, 0);
    planes[0] = 0x80 | 0x20;
    planes[size_t(w / 8) * planeRows] = 0x40 | 0x20;
    Page p{w, planeRows * 2, planes, 0, {}};
    Bytes rec = pageRecord(p);
    rec[2 + 29] = 2; // Colors: what the header says for cupsInteger[4] = 1
    Result r = decode(dir, job({rec}, false), "--png");
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(run("pngtopnm " + dir.file("pages/page-001.png") + " > " + dir.file("p.ppm")), 0);
    Bytes ppm = readFile(dir.file("p.ppm"));
    const std::string head = "P6\n64 32\n255\n";
    ASSERT_GE(ppm.size(), head.size() + 9);
    ASSERT_EQ(std::string(ppm.begin(), ppm.begin() + long(head.size())), head);
    const BYTE *px = ppm.data() + head.size();
    EXPECT_EQ(hex(px, 12), "000000" "ff0000" "000000" "ffffff");
}

TEST_F(DecodeTest, DamagedJobsAreRefused)
{
    const Bytes rec = pageRecord({256, 64, textPage(256, 64, 6), 0, {CAP_CHECKSUM}});
    const Bytes secret = pageRecord({256, 64, textPage(256, 64, 6), 0, {CAP_SSL}});
    struct Case {
        const char *name;
        Bytes stream;
        const char *why;
    };
    auto patched = [](Bytes r, size_t at, BYTE v) {
        r[at] = v;
        return r;
    };
    Bytes truncated = job({rec}, false);
    truncated.resize(600 + rec.size() / 2);
    Bytes early = rec;
    append(early, "@PJL ENTER LANGUAGE=QZGDI\r\n");
    const Case cases[] = {
        {"blackDots off by one", job({patched(rec, 2 + 20, BYTE(rec[22] + 1))}, false), "blackDots"},
        {"datasize wrong", job({patched(rec, 2 + 12, BYTE(rec[14] + 1))}, false), "datasize"},
        {"bad method", job({patched(rec, 2 + 31, 9)}, false), "CompMethod"},
        {"checksum wrong", job({patched(rec, rec.size() - 1, BYTE(rec.back() ^ 1))}, false),
         "checksum"},
        {"stream cut inside a page", truncated, "stream ends inside page"},
        {"record before the language switch", early, "before @PJL ENTER"},
        {"encrypted page without the PJL line", job({secret}, false), "ERROR"},
        {"garbage between records", [&] {
             Bytes j = job({rec}, false);
             j.insert(j.end() - 56, 'x'); // just before the close sequence
             return j;
         }(), "unexpected byte"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = decode(dir, c.stream, "--no-images");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
    }
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        gDecoder = argv[1];
    if (gDecoder.empty()) {
        std::fprintf(stderr, "usage: test_qzgdi_decode PATH-TO-qzgdi-decode\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
