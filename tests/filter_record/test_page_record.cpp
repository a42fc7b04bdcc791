// The page record: every payload form decoded by independent tools (jbgtopbm,
// openssl), the header fields byte by byte, paper and media codes, the sampled
// checksums, and the road of a page that cannot be built.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "aes.h"
#include "jbigwrap.h"
#include "pagerecord.h"
#include "rasterpress.h"
#include "record_test_util.h"

namespace {

struct SlotDeleter {
    void operator()(JobInfo *s) const
    {
        std::free(s->lpbuf);
        delete s;
    }
};
using Slot = std::unique_ptr<JobInfo, SlotDeleter>;

void setCaps(BYTE feature[2], std::initializer_list<int> caps)
{
    feature[0] = feature[1] = 0;
    for (int c : caps)
        feature[c >> 3] |= BYTE(1 << (c & 7));
}

// A page of scattered black blocks and lines, like sparse text.
Bytes textLikePage(unsigned w, unsigned h, uint32_t seed)
{
    const unsigned W = w / 8;
    Bytes page(size_t(W) * h, 0);
    Bytes rnd = noise(size_t(h) * 4, seed);
    for (unsigned y = 2; y + 6 < h; y += 9)
        for (unsigned x = 1; x + 3 < W; x += 1 + rnd[(y + x) % rnd.size()] % 5)
            for (unsigned dy = 0; dy < 6; ++dy)
                page[size_t(y + dy) * W + x] = BYTE(rnd[(x * 7 + dy) % rnd.size()] | 0x18);
    return page;
}

Slot makeSlot(unsigned w, unsigned h, const Bytes &bitmap, DWORD drvf,
              std::initializer_list<int> caps)
{
    Slot s(new JobInfo{});
    s->page_width = w;
    s->page_height = h;
    s->linebyte = w / 8;
    s->pagesize = DWORD(bitmap.size());
    s->lpbuf = static_cast<BYTE *>(std::malloc(bitmap.size()));
    std::memcpy(s->lpbuf, bitmap.data(), bitmap.size());
    s->DriverFeature = drvf;
    setCaps(s->Feature, caps);
    s->inheader.PageSize[0] = 595;
    s->inheader.PageSize[1] = 842;
    return s;
}

// ImageCompress and then the header, as the writer thread does it.
Bytes buildRecord(JobInfo *s, BOOL *ok = nullptr)
{
    BOOL r = ImageCompress(s);
    if (ok)
        *ok = r;
    PJL_WritePageHeader(s, s->lpbuf + 2, s->CompressSize, s->blackDots);
    return Bytes(s->lpbuf, s->lpbuf + PAGE_RECORD_HEAD + s->outLen);
}

PageHeader headerOf(const Bytes &record)
{
    PageHeader h;
    EXPECT_TRUE(LoadPageHeader(record.data() + 2, &h));
    return h;
}

// Decodes a JBIG payload with JBIG-KIT's own command-line decoder; data sent
// without its image header gets the header the encoder would have written.
Bitmap jbgtopbm(const TempDir &dir, const BYTE *data, size_t len, bool headerKept,
                unsigned w, unsigned h)
{
    Bytes bie;
    if (!headerKept) {
        BYTE bih[JBIG_BIH_SIZE];
        JBIG_MakeHeader(bih, w, h, 0, JBIG_OPTIONS_DEFAULT);
        bie.assign(bih, bih + JBIG_BIH_SIZE);
    }
    bie.insert(bie.end(), data, data + len);
    writeFile(dir.file("page.jbg"), bie);
    std::remove(dir.file("page.pbm").c_str());
    Bitmap bm;
    EXPECT_EQ(run("jbgtopbm " + dir.file("page.jbg") + " " + dir.file("page.pbm")), 0);
    EXPECT_TRUE(readPbm(dir.file("page.pbm"), &bm));
    return bm;
}

Bytes opensslDecrypt(const TempDir &dir, const BYTE *data, size_t len)
{
    writeFile(dir.file("ct"), Bytes(data, data + len));
    EXPECT_EQ(run("openssl enc -d -aes-128-cbc -K " + hex(std::string(PAGE_AES_KEY)) + " -iv " +
                  hex(std::string(PAGE_AES_IV)) + " -in " + dir.file("ct") + " -out " +
                  dir.file("pt")),
              0);
    return readFile(dir.file("pt"));
}

class PageRecordTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (auto &row : gPaperFormat)
            row.enable = 1;
        std::memset(&ginheader_bak, 0, sizeof ginheader_bak);
        ginheader_bak.PageSize[0] = 595;
        ginheader_bak.PageSize[1] = 842;
        gCancelJob = 0;
    }
    void TearDown() override { gCancelJob = 0; }
    TempDir dir;
};

TEST_F(PageRecordTest, PayloadFormsDecodeToThePage)
{
    struct Case {
        const char *name;
        DWORD drvf;
        std::initializer_list<int> caps;
        BYTE method;
        bool jbig, zr4, checksum;
    };
    const Case cases[] = {
        {"raw by driver", DRVF_DISABLE_COMPRESS, {}, 0, false, false, false},
        {"raw by printer", 0, {CAP_RAW_DATA}, 0, false, false, false},
        {"raw ignores checksum", 0, {CAP_RAW_DATA, CAP_CHECKSUM}, 0, false, false, false},
        {"jbig", 0, {}, 1, true, false, false},
        {"jbig zr4", DRVF_ZR4_CHIP, {}, 2, true, true, false},
        {"jbig checksum", 0, {CAP_CHECKSUM}, 3, true, false, true},
        {"jbig zr4 checksum", DRVF_ZR4_CHIP, {CAP_CHECKSUM}, 4, true, true, true},
    };
    const unsigned w = 256, h = 96;
    const Bytes page = textLikePage(w, h, 42);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slot s = makeSlot(w, h, page, c.drvf, c.caps);
        BOOL ok = FALSE;
        Bytes rec = buildRecord(s.get(), &ok);
        ASSERT_TRUE(ok);
        ASSERT_EQ(rec[0], 0x1B);
        ASSERT_EQ(rec[1], 'E');
        PageHeader hd = headerOf(rec);
        EXPECT_EQ(hd.CompMethod, c.method);
        EXPECT_EQ(hd.page_width, w);
        EXPECT_EQ(hd.page_height, h);
        EXPECT_EQ(hd.datasize, page.size());
        EXPECT_EQ(hd.compsize, rec.size() - PAGE_RECORD_HEAD);
        EXPECT_EQ(hd.blackDots, popcount(page.data(), page.size()));
        EXPECT_EQ(hd.Bits, 1);
        EXPECT_EQ(hd.Colors, 1);

        const BYTE *payload = rec.data() + PAGE_RECORD_HEAD;
        if (!c.jbig) {
            EXPECT_EQ(Bytes(payload, payload + hd.compsize), page);
            continue;
        }
        // What the printer must find: the page, with the corner marks on ZR4.
        Bytes expect = page;
        DWORD sum = 0;
        if (c.checksum && c.zr4) {
            const size_t W = w / 8, at[4] = {0, W - 1, W * (h - 1), W * h - 1};
            for (size_t a : at) {
                sum = sum << 8 | page[a];
                expect[a] = 0xAA;
            }
        } else if (c.checksum) {
            for (unsigned y = 0; y < h; y += 32)
                sum += page[size_t(y) * (w / 8) + y % (w / 8)];
            sum += page.back();
        }
        size_t jbigLen = hd.compsize;
        if (c.checksum) {
            jbigLen -= 4;
            EXPECT_EQ(GetLE32(payload + jbigLen), sum);
        }
        if (c.zr4) {
            BYTE bih[JBIG_BIH_SIZE];
            JBIG_MakeHeader(bih, w, h, 0, JBIG_OPTIONS_ZR4);
            EXPECT_EQ(hex(payload, JBIG_BIH_SIZE), hex(bih, JBIG_BIH_SIZE));
        }
        Bitmap bm = jbgtopbm(dir, payload, jbigLen, c.zr4, w, h);
        EXPECT_EQ(bm.width, w);
        EXPECT_EQ(bm.height, h);
        EXPECT_TRUE(bm.bits == expect);
    }
}

TEST_F(PageRecordTest, TonerSavingThinsBeforeTheDotsAreCounted)
{
    // Solid black thins to 0x99 under the 600 dpi rules; the header counts
    // what is printed, not what came in.
    const unsigned w = 256, h = 64;
    const Bytes black(size_t(w / 8) * h, 0xFF);
    Slot s = makeSlot(w, h, black, 0, {CAP_SW_TONERSAVE});
    s->SCALE1200 = 1;
    s->inheader.cupsInteger[0] = 1;
    s->inheader.HWResolution[0] = s->inheader.HWResolution[1] = 600;
    Bytes rec = buildRecord(s.get());
    PageHeader hd = headerOf(rec);
    EXPECT_EQ(hd.blackDots, 4u * black.size());
    Bitmap bm = jbgtopbm(dir, rec.data() + PAGE_RECORD_HEAD, hd.compsize, false, w, h);
    EXPECT_TRUE(bm.bits == Bytes(black.size(), 0x99));

    // Without the toner-saving option the page is left alone.
    Slot t = makeSlot(w, h, black, 0, {CAP_SW_TONERSAVE});
    EXPECT_EQ(headerOf(buildRecord(t.get())).blackDots, 8u * black.size());
}

TEST_F(PageRecordTest, HeaderDroppedIsTheOneTheDecoderIsGiven)
{
    // The printer rebuilds the image header from the page header: it must be
    // byte for byte what the encoder would have written.
    const unsigned w = 128, h = 64;
    Bytes page = textLikePage(w, h, 3);
    JbigOutput out{nullptr, 0, 0, 0, 0, 0};
    ASSERT_GT(Tolvan_JBIGCompression(w, h, page.data(), &out, 0, JBIG_OPTIONS_DEFAULT, FALSE), 0u);
    BYTE bih[JBIG_BIH_SIZE];
    JBIG_MakeHeader(bih, w, h, 0, JBIG_OPTIONS_DEFAULT);
    EXPECT_EQ(hex(out.buf, JBIG_BIH_SIZE), hex(bih, JBIG_BIH_SIZE));

    JbigOutput cut{nullptr, 0, 0, 0, 0, 0};
    DWORD n = Tolvan_JBIGCompression(w, h, page.data(), &cut, 0, JBIG_OPTIONS_DEFAULT, TRUE);
    ASSERT_EQ(n + JBIG_BIH_SIZE, out.len);
    EXPECT_EQ(std::memcmp(cut.buf, out.buf + JBIG_BIH_SIZE, n), 0);
    EXPECT_GT(cut.count, 1u);

    // Our own decoder agrees, and refuses truncated or oversized images.
    BYTE *img = nullptr;
    DWORD dw = 0, dh = 0;
    ASSERT_TRUE(Tolvan_BIEDecoding(out.buf, out.len, &img, &dw, &dh, 1u << 16, 1u << 16));
    EXPECT_EQ(dw, w);
    EXPECT_EQ(dh, h);
    EXPECT_TRUE(Bytes(img, img + page.size()) == page);
    std::free(img);
    EXPECT_FALSE(Tolvan_BIEDecoding(out.buf, out.len / 2, &img, &dw, &dh, 1u << 16, 1u << 16));
    EXPECT_FALSE(Tolvan_BIEDecoding(out.buf, out.len, &img, &dw, &dh, w - 1, h));
    EXPECT_EQ(img, nullptr);
    std::free(out.buf);
    std::free(cut.buf);
}

TEST_F(PageRecordTest, IncompressiblePageGrowsTheRecord)
{
    // Noise costs JBIG more than the raw bitmap: the record must grow, not overflow.
    const unsigned w = 512, h = 256;
    const Bytes page = noise(size_t(w / 8) * h, 77);
    Slot s = makeSlot(w, h, page, 0, {CAP_CHECKSUM, CAP_SSL});
    BOOL ok = FALSE;
    Bytes rec = buildRecord(s.get(), &ok);
    ASSERT_TRUE(ok);
    PageHeader hd = headerOf(rec);
    EXPECT_GT(hd.compsize, page.size() + 4);
    Bytes plain = opensslDecrypt(dir, rec.data() + PAGE_RECORD_HEAD + 4,
                                 GetLE32(rec.data() + PAGE_RECORD_HEAD));
    ASSERT_EQ(plain.size(), hd.compsize);
    Bitmap bm = jbgtopbm(dir, plain.data(), plain.size() - 4, false, w, h);
    EXPECT_TRUE(bm.bits == page);
}

TEST_F(PageRecordTest, EncryptedPayloadIsTheClearRecordUnderTheCipher)
{
    const unsigned w = 256, h = 64;
    const Bytes page = textLikePage(w, h, 9);
    for (DWORD drvf : {DWORD(0), DWORD(DRVF_DISABLE_COMPRESS)}) {
        SCOPED_TRACE(drvf);
        Slot clear = makeSlot(w, h, page, drvf, {CAP_CHECKSUM});
        Slot secret = makeSlot(w, h, page, drvf, {CAP_CHECKSUM, CAP_SSL});
        Bytes plainRec = buildRecord(clear.get());
        Bytes rec = buildRecord(secret.get());
        PageHeader hd = headerOf(rec);
        const DWORD n = GetLE32(rec.data() + PAGE_RECORD_HEAD);
        EXPECT_EQ(hd.compsize, plainRec.size() - PAGE_RECORD_HEAD);
        EXPECT_EQ(n % 16, 0u);
        EXPECT_GT(n, hd.compsize);
        EXPECT_EQ(rec.size(), PAGE_RECORD_HEAD + 4 + n);
        EXPECT_EQ(secret->outLen, n + 4);
        Bytes plain = opensslDecrypt(dir, rec.data() + PAGE_RECORD_HEAD + 4, n);
        EXPECT_TRUE(plain == Bytes(plainRec.begin() + PAGE_RECORD_HEAD, plainRec.end()));
        // The header is the same apart from nothing: compsize keeps the clear length.
        EXPECT_EQ(hex(rec.data() + 2, PAGE_HEADER_SIZE), hex(plainRec.data() + 2, PAGE_HEADER_SIZE));
    }
}

TEST_F(PageRecordTest, HeaderFieldsOnTheWire)
{
    const unsigned w = 256, h = 64;
    Slot s = makeSlot(w, h, textLikePage(w, h, 1), 0, {});
    s->inheader.cupsMediaType = 3;
    s->inheader.MediaPosition = 2;
    Bytes rec = buildRecord(s.get());
    const BYTE *p = rec.data() + 2;
    // Little-endian fields at fixed offsets, whatever the host.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), 4), std::string("GDI\0", 4));
    EXPECT_EQ(hex(p + 4, 8), "0001000040000000");
    EXPECT_EQ(GetLE32(p + 12), w / 8 * h);
    EXPECT_EQ(GetLE32(p + 16), s->outLen);
    EXPECT_EQ(p[24], ENG_ISO_A4);
    EXPECT_EQ(p[25], ENG_MEDIA_LASER);
    EXPECT_EQ(p[26], 2);
    EXPECT_EQ(p[27], 0);
    EXPECT_EQ(hex(p + 28, 4), "01010001");

    struct Case {
        const char *name;
        DWORD drvf;
        unsigned tray, colour;
        BYTE wantTray, wantColors, wantMode;
    };
    const Case cases[] = {
        {"auto tray, ordinary", 0, 250, 0, 0, 1, 0},
        {"auto tray, A3 class", DRVF_A3, 250, 0, 1, 1, 0},
        {"tray 2 on A3 class", DRVF_A3, 2, 0, 2, 1, 0},
        {"red and black planes", 0, 1, 1, 1, 2, 0},
        {"colour mode 2", 0, 1, 2, 1, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slot t = makeSlot(w, h, textLikePage(w, h, 2), c.drvf, {});
        t->inheader.MediaPosition = c.tray;
        t->inheader.cupsInteger[4] = c.colour;
        PageHeader hd = headerOf(buildRecord(t.get()));
        EXPECT_EQ(hd.MediaPosition, c.wantTray);
        EXPECT_EQ(hd.Colors, c.wantColors);
        EXPECT_EQ(hd.ColorMode, c.wantMode);
    }
}

TEST_F(PageRecordTest, TwoBitPageReportsItsPixelWidth)
{
    // The bitmap holds two bits a pixel: 4960 pixels are 9920 bits a row.
    const unsigned pixels = 4960, h = 32;
    Slot s = makeSlot(pixels * 2, h, textLikePage(pixels * 2, h, 5), 0, {CAP_TWO_BIT_600});
    s->inheader.cupsInteger[8] = 2;
    PageHeader hd = headerOf(buildRecord(s.get()));
    EXPECT_EQ(hd.page_width, pixels);
    EXPECT_EQ(s->page_width, pixels);
    EXPECT_EQ(hd.Bits, 2);
    EXPECT_EQ(hd.datasize, pixels * 2 / 8 * h);

    // The capability alone, or the option alone, is not two-bit mode.
    Slot t = makeSlot(pixels, h, textLikePage(pixels, h, 5), 0, {CAP_TWO_BIT_600});
    PageHeader one = headerOf(buildRecord(t.get()));
    EXPECT_EQ(one.page_width, pixels);
    EXPECT_EQ(one.Bits, 1);
}

TEST_F(PageRecordTest, PaperCodes)
{
    struct Case {
        const char *name;
        unsigned w, h;
        int a3;
        int code;
    };
    const Case cases[] = {
        {"A4", 595, 842, 0, ENG_ISO_A4},
        {"A4 on A3 class", 595, 842, 1, ENG_ISO_A4_LEF},
        {"A3 on A3 class", 842, 1191, 1, ENG_ISO_A3},
        {"one point short", 595, 841, 0, ENG_PAPER_CUSTOMER},
        {"Letter", 612, 792, 0, ENG_LETTER},
        {"Letter on A3 class", 612, 792, 1, ENG_LETTER_LEF},
        {"Legal stays", 612, 1008, 1, ENG_LEGAL},
        {"Tabloid is DLT", 792, 1224, 0, ENG_DLT},
        {"A5 long edge", 420, 595, 1, ENG_ISO_A5_LEF},
        {"B5 long edge", 516, 729, 1, ENG_JIS_B5_LEF},
        {"Statement long edge", 396, 612, 1, ENG_ST_LEF},
        {"Postcard long edge", 284, 419, 1, ENG_POSTCARD_LEF},
        {"16K long edge", 553, 757, 1, ENG_16K_LEF},
        {"8K stays", 757, 1106, 1, ENG_8K},
        {"A6 stays", 297, 420, 1, ENG_ISO_A6},
        {"custom on A3 class", 700, 1000, 1, ENG_PAPER_CUSTOMER},
    };
    cups_page_header2_t ph{};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ph.PageSize[0] = c.w;
        ph.PageSize[1] = c.h;
        EXPECT_EQ(GetPaperSizeCode(&ph, c.a3), c.code);
    }
    // A size the PPD does not list is custom.
    gPaperFormat[4].enable = 0;
    ASSERT_STREQ(gPaperFormat[4].paper_name, "A4");
    ph.PageSize[0] = 595;
    ph.PageSize[1] = 842;
    EXPECT_EQ(GetPaperSizeCode(&ph, 0), ENG_PAPER_CUSTOMER);
}

TEST_F(PageRecordTest, PaperCodeComesFromTheReferencePageOnOrdinaryPrinters)
{
    const unsigned w = 256, h = 64;
    ginheader_bak.PageSize[0] = 612; // the first page was Letter
    ginheader_bak.PageSize[1] = 792;
    Slot ordinary = makeSlot(w, h, textLikePage(w, h, 4), 0, {});
    EXPECT_EQ(headerOf(buildRecord(ordinary.get())).paper_type, ENG_LETTER);
    Slot a3 = makeSlot(w, h, textLikePage(w, h, 4), DRVF_A3, {});
    EXPECT_EQ(headerOf(buildRecord(a3.get())).paper_type, ENG_ISO_A4_LEF);
}

TEST_F(PageRecordTest, MediaCodes)
{
    const BYTE table[] = {ENG_MEDIA_PLAIN,        ENG_MEDIA_CARDSTOCK, ENG_MEDIA_THICK,
                          ENG_MEDIA_LASER,        ENG_MEDIA_BOND,      ENG_MEDIA_TRANSPARENCY,
                          ENG_MEDIA_THIN,         ENG_MEDIA_ENVELOPE,  ENG_MEDIA_POSTCARD,
                          ENG_MEDIA_AUTO};
    for (unsigned i = 0; i < 10; ++i)
        EXPECT_EQ(MediaTypeCode(i), table[i]) << i;
    // Outside the table: plain paper, like the default media type.
    for (unsigned bad : {10u, 255u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(MediaTypeCode(bad), ENG_MEDIA_PLAIN) << bad;
}

TEST_F(PageRecordTest, SampledChecksum)
{
    // 64 rows of 620 bytes: samples row 0 column 0, row 32 column 32, the last byte.
    const unsigned w = 4960, h = 64, W = w / 8;
    Bytes page(size_t(W) * h, 0x01);
    page[0] = 0x10;
    page[size_t(32) * W + 32] = 0x20;
    page.back() = 0x40;
    Slot s = makeSlot(w, h, page, 0, {});
    EXPECT_EQ(DataPatternChkSum(s.get()), 0x70u);
    EXPECT_TRUE(Bytes(s->lpbuf, s->lpbuf + page.size()) == page);

    // All 0xFF bytes wrap nothing at this size but do add up as unsigned bytes.
    Slot full = makeSlot(w, h, Bytes(page.size(), 0xFF), 0, {});
    EXPECT_EQ(DataPatternChkSum(full.get()), 3u * 0xFF);

    Slot narrow = makeSlot(w, h, page, 0, {});
    narrow->page_width = 7;
    EXPECT_EQ(DataPatternChkSum(narrow.get()), 0u);
    std::free(narrow->lpbuf);
    narrow->lpbuf = nullptr;
    EXPECT_EQ(DataPatternChkSum(narrow.get()), 0u);
}

TEST_F(PageRecordTest, CornerChecksumMarksTheCorners)
{
    const unsigned w = 64, h = 4, W = w / 8;
    Bytes page(size_t(W) * h, 0);
    page[0] = 0x12;
    page[W - 1] = 0x34;
    page[size_t(W) * (h - 1)] = 0x56;
    page.back() = 0x78;
    Slot s = makeSlot(w, h, page, DRVF_ZR4_CHIP, {});
    EXPECT_EQ(DataPatternChkSum_new(s.get()), 0x12345678u);
    for (size_t at : {size_t(0), size_t(W - 1), size_t(W) * (h - 1), page.size() - 1})
        EXPECT_EQ(s->lpbuf[at], 0xAA) << at;
    EXPECT_EQ(s->lpbuf[1], 0);

    std::free(s->lpbuf);
    s->lpbuf = nullptr;
    EXPECT_EQ(DataPatternChkSum_new(s.get()), 0xAABBCCDDu);
}

TEST_F(PageRecordTest, UnbuildablePageLeavesNoRecord)
{
    // Nothing is built from a bitmap smaller than its geometry says (never read
    // past its end) or from rows that do not match the width: the slot keeps its
    // bitmap, has no record to send, and the writer is the one to end the job.
    const unsigned w = 256, h = 64;
    struct Case {
        const char *name;
        void (*spoil)(JobInfo *);
    };
    const Case cases[] = {
        {"short bitmap", [](JobInfo *s) { s->pagesize -= 1; }},
        {"rows wider than the page", [](JobInfo *s) { s->linebyte += 4; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slot s = makeSlot(w, h, textLikePage(w, h, 8), 0, {CAP_SSL});
        c.spoil(s.get());
        const BYTE *bitmap = s->lpbuf;
        EXPECT_FALSE(ImageCompress(s.get()));
        EXPECT_EQ(s->outLen, 0u);
        EXPECT_EQ(s->CompressSize, 0u);
        EXPECT_EQ(s->lpbuf, bitmap);
        EXPECT_EQ(gCancelJob.load(), 0);
    }
}

} // namespace
