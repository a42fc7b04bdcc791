// Stage tests of the job stream: header lines, the accounting JSON reader,
// the close sequence with its 512-byte rule, ring sizing, page scaling and
// the spool file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver.h"
#include "paths.h"
#include "pjl_internal.h"

namespace
{

std::string gRoot;

// Every fixed path of the filter lands under a private temporary root.
class RootEnv : public ::testing::Environment
{
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/rp-stages-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        gRoot = tmpl;
        setenv("RASTERPRESS_TEST_ROOT", gRoot.c_str(), 1);
        ASSERT_EQ(std::string(TestRoot()), gRoot);
        mkdir((gRoot + "/tmp").c_str(), 0700);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + gRoot + "'";
        (void)system(cmd.c_str());
    }
};
const auto *gEnv = ::testing::AddGlobalTestEnvironment(new RootEnv);

// Captures what a block of code writes to standard output (or another descriptor).
class StdoutCapture
{
public:
    explicit StdoutCapture(int target = 1) : target_(target)
    {
        fflush(stdout);
        path_ = gRoot + "/capture" + std::to_string(target) + ".bin";
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        saved_ = dup(target_);
        dup2(fd_, target_);
    }
    std::string Finish()
    {
        fflush(stdout);
        dup2(saved_, target_);
        close(saved_);
        close(fd_);
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    int target_;
    std::string path_;
    int fd_, saved_;
};

std::vector<std::string> Lines(const std::string &block)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < block.size()) {
        size_t e = block.find("\r\n", pos);
        if (e == std::string::npos) {
            out.push_back(block.substr(pos) + "<no CRLF>");
            break;
        }
        out.push_back(block.substr(pos, e - pos));
        pos = e + 2;
    }
    return out;
}

bool HasLine(const std::vector<std::string> &lines, const std::string &l)
{
    for (const auto &x : lines)
        if (x == l)
            return true;
    return false;
}

cups_page_header2_t A4Header()
{
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.NumCopies = 1;
    h.MediaPosition = 1;
    return h;
}

StartJobInfo Info(const BYTE *feature, DWORD driverFeature)
{
    StartJobInfo in{};
    in.numUP = 1;
    in.PrinterName = "queue1";
    in.szUserName = "alice";
    in.szDocName = "report";
    in.PrinterLocation = "room 2";
    in.Feature = feature;
    in.DriverFeature = driverFeature;
    in.DriverVersion = "1.0.0";
    in.AccountName = "";
    in.AccountPwd = "";
    in.PrinterPortName = "socket://127.0.0.2";
    in.HostName = "host";
    in.Tick = 1234;
    in.year = 2026;
    in.month = 3;
    in.day = 4;
    in.hour = 5;
    in.minute = 6;
    in.second = 7;
    return in;
}

std::vector<std::string> HeaderFor(cups_page_header2_t &h, const BYTE *feature, DWORD drvf,
                                   const char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE] = nullptr,
                                   BOOL driverCollate = FALSE)
{
    static const char empty[JSON_OUT_SLOTS][JSON_SLOT_SIZE] = {};
    StartJobInfo in = Info(feature, drvf);
    in.bDriverDoCollate = driverCollate;
    std::string block = BuildHeaderBlock(JobHeaderLines(&h, in, json ? json : empty));
    EXPECT_EQ(block.compare(0, 9, UELStr), 0);
    return Lines(block.substr(9));
}

} // namespace

TEST(JobHeader, PlainJobLinesInOrder)
{
    cups_page_header2_t h = A4Header();
    BYTE f[2] = {0, 0};
    std::vector<std::string> want = {
        "@PJL",
        "@PJL JOB NAME=\"1234\"",
        "@PJL SET TIMEOUT=300",
        "@PJL COMMENT Filter Version,1.0.0",
        "@PJL COMMENT report",
        "@PJL COMMENT alice",
        "@PJL COMMENT host",
        "@PJL COMMENT queue1",
        "@PJL COMMENT socket://127.0.0.2",
        "@PJL COMMENT ",
        "@PJL COMMENT 2026/03/04",
        "@PJL COMMENT 05:06:07:00",
        "@PJL COMMENT JBIG,00, 8",
        "@PJL COMMENT Copies,1",
        "@PJL COMMENT room 2",
        "@PJL SET JOBNAME=\"alice:report\"",
        "@PJL SET ECONOMODE=OFF",
        "@PJL SET DENSITY=1",
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
    EXPECT_EQ(HeaderFor(h, f, 0), want);
}

// One header field or capability and the line it must give.
struct LineCase {
    const char *name;
    void (*setup)(cups_page_header2_t &, BYTE *, DWORD &);
    const char *line;   // must be present
    const char *absent; // must not be present (may be null)
};

static const LineCase kLineCases[] = {
    {"timeout set", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.cupsInteger[6] = 45; },
     "@PJL SET TIMEOUT=45", "@PJL SET TIMEOUT=300"},
    {"zr4 jbig comment", [](cups_page_header2_t &, BYTE *, DWORD &d) { d = DRVF_ZR4_CHIP; },
     "@PJL COMMENT JBIG,00,64", nullptr},
    {"collate in header",
     [](cups_page_header2_t &h, BYTE *, DWORD &) {
         h.Collate = CUPS_TRUE;
         h.NumCopies = 3;
     },
     "@PJL SET COPIES=1", "@PJL SET COPIES=3"},
    {"copies", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.NumCopies = 3; }, "@PJL SET COPIES=3",
     nullptr},
    {"1200 cap at 300",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.HWResolution[0] = 300;
         f[1] |= 0x20;
     },
     "@PJL SET RESOLUTION=600", nullptr},
    {"1200 cap at 1200",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.HWResolution[0] = 1200;
         f[1] |= 0x20;
     },
     "@PJL SET RESOLUTION=1200", nullptr},
    {"1200 without cap", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.HWResolution[0] = 1200; },
     "@PJL SET RESOLUTION=600", nullptr},
    {"ret at low power",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.cupsInteger[8] = 2;
         f[1] |= 0x04;
     },
     "@PJL SET RET=ON", nullptr},
    {"no ret with true 1200",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.cupsInteger[8] = 2;
         f[1] |= 0x24;
     },
     "@PJL SET RET=OFF", nullptr},
    {"two bits",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.cupsInteger[8] = 2;
         f[0] |= 0x80;
     },
     "@PJL SET BITSPERPIXEL=2", nullptr},
    {"toner save", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.cupsInteger[0] = 1; },
     "@PJL SET ECONOMODE=ON", nullptr},
    {"software toner save",
     [](cups_page_header2_t &h, BYTE *f, DWORD &) {
         h.cupsInteger[0] = 1;
         f[1] |= 0x02;
     },
     "@PJL SET ECONOMODE=OFF", nullptr},
    {"ssl", [](cups_page_header2_t &, BYTE *f, DWORD &) { f[1] |= 0x01; }, "@PJL SET ENCRYPTION = SSL",
     nullptr},
    {"impr", [](cups_page_header2_t &, BYTE *f, DWORD &) { f[0] |= 0x20; }, "@PJL SET IMPR=1", nullptr},
    {"density", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.cupsCompression = 9; }, "@PJL SET DENSITY=10",
     nullptr},
    {"auto tray", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.MediaPosition = 250; },
     "@PJL SET AUTOSELECT=ON", nullptr},
    {"duplex tumble",
     [](cups_page_header2_t &h, BYTE *, DWORD &) {
         h.Duplex = CUPS_TRUE;
         h.Tumble = CUPS_TRUE;
     },
     "@PJL SET DUPLEXTYPE=CALENDAR", "@PJL SET DUPLEX=OFF"},
    {"landscape", [](cups_page_header2_t &h, BYTE *, DWORD &) { h.Orientation = CUPS_ORIENT_90; },
     "@PJL SET ORIENTATION=LANDSCAPE", nullptr},
    {"rmq mode 1", [](cups_page_header2_t &, BYTE *, DWORD &d) { d = DRVF_RMQ_MODE1; },
     "@PJL SET USERNAME=\"KVRMTZAPHOLE31846027\"", nullptr},
};

TEST(JobHeader, FieldsGiveTheirLines)
{
    for (const LineCase &c : kLineCases) {
        SCOPED_TRACE(c.name);
        cups_page_header2_t h = A4Header();
        BYTE f[2] = {0, 0};
        DWORD d = 0;
        c.setup(h, f, d);
        auto lines = HeaderFor(h, f, d);
        EXPECT_TRUE(HasLine(lines, c.line));
        if (c.absent) {
            EXPECT_FALSE(HasLine(lines, c.absent));
        }
    }
}

TEST(JobHeader, AccountingJsonOverridesDuplexAndSetsHeader)
{
    char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE] = {};
    strcpy(json[0], "code");
    strcpy(json[1], "user");
    strcpy(json[3], "on");
    strcpy(json[4], "CALENDAR");
    cups_page_header2_t h = A4Header();
    BYTE f[2] = {0, 0};
    auto lines = HeaderFor(h, f, DRVF_RMQ_MODE0, json);
    EXPECT_TRUE(HasLine(lines, "@PJL SET FAUTHCODE=\"code\""));
    EXPECT_TRUE(HasLine(lines, "@PJL SET USERNAME=\"user\""));
    EXPECT_TRUE(HasLine(lines, "@PJL SET ACCTPASS=\"\""));
    EXPECT_TRUE(HasLine(lines, "@PJL SET DUPLEX=on"));
    EXPECT_TRUE(HasLine(lines, "@PJL SET DUPLEXTYPE=CALENDAR"));
    EXPECT_EQ(h.Duplex, CUPS_TRUE);
    EXPECT_EQ(h.Tumble, CUPS_TRUE); // the back pages are turned as the line says

    // A job asking for duplex is turned simplex when the accounting answer has none,
    // and the printer is told so.
    char none[JSON_OUT_SLOTS][JSON_SLOT_SIZE] = {};
    h = A4Header();
    h.Duplex = CUPS_TRUE;
    lines = HeaderFor(h, f, DRVF_RMQ_MODE0, none);
    EXPECT_TRUE(HasLine(lines, "@PJL SET DUPLEX=OFF"));
    EXPECT_EQ(h.Duplex, CUPS_FALSE);
}

TEST(JobHeader, OverlongAndHostileValuesStayInsideTheBlock)
{
    std::string huge(5000, 'T');
    huge.replace(10, 2, "\xe4\xb8"); // start of a 3-byte character cut by nothing else
    std::string injected = "t\r\n@PJL SET COPIES=99\r\n";
    StartJobInfo in = Info((const BYTE *)"\0\0", DRVF_RMQ_MODE0 | DRVF_RMQ_MODE1);
    std::string userName(3000, 'U');
    userName += "\"q";
    in.szDocName = huge.c_str();
    in.szUserName = userName.c_str();
    in.PrinterLocation = injected.c_str();
    char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE];
    for (auto &s : json) {
        memset(s, 'J', JSON_SLOT_SIZE - 1);
        s[JSON_SLOT_SIZE - 1] = 0;
    }
    cups_page_header2_t h = A4Header();
    std::string block = BuildHeaderBlock(JobHeaderLines(&h, in, json));
    ASSERT_LE(block.size(), (size_t)PJL_HEADER_BLOCK_SIZE);
    auto lines = Lines(block.substr(9));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "@PJL ENTER LANGUAGE=QZGDI");
    EXPECT_FALSE(HasLine(lines, "@PJL SET COPIES=99"));
    for (const auto &l : lines) {
        EXPECT_EQ(l.find("<no CRLF>"), std::string::npos);
        EXPECT_EQ(l.rfind("@PJL", 0), 0u) << l;
        // A quoted value keeps exactly its two quotes.
        if (l.find('"') != std::string::npos) {
            int quotes = 0;
            for (char c : l)
                quotes += c == '"';
            EXPECT_EQ(quotes, 2) << l;
        }
    }
    // Every fixed line survives; the short values are not cut.
    EXPECT_TRUE(HasLine(lines, "@PJL SET RESOLUTION=600"));
    EXPECT_TRUE(HasLine(lines, "@PJL COMMENT queue1"));
}

static std::string WriteTemp(const std::string &name, const std::string &content)
{
    std::string path = gRoot + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
    return path;
}

TEST(ParseJSON, Cases)
{
    struct Case {
        const char *name;
        std::string json;
        BOOL result;
        std::vector<std::string> slots; // 7 expected slots
    };
    std::string longValue(200, 'v');
    std::vector<Case> cases = {
        {"all keys",
         "{\"AUTHCODE\":\"a\",\"USERNAME\":\"u\",\"ACCTPASS\":\"p\",\"DUPLEX\":\"ON\","
         "\"DUPLEXTYPE\":\"CALENDAR\",\"NOTIFYURL\":\"n\",\"CHECKAUTHCODEURL\":\"c\"}",
         TRUE,
         {"a", "u", "p", "ON", "CALENDAR", "n", "c"}},
        {"lower case keys",
         "{\"duplex\": \"on\", \"username\": \"bob\"}",
         TRUE,
         {"", "bob", "", "on", "", "", ""}},
        {"no closing brace", "{\"USERNAME\":\"bob\"", FALSE, {"", "", "", "", "", "", ""}},
        {"no object", "\"USERNAME\":\"bob\"}", FALSE, {"", "", "", "", "", "", ""}},
        {"value spelling a key",
         "{\"USERNAME\":\"ACCTPASS\",\"x\":\"y\"}",
         TRUE,
         {"", "ACCTPASS", "x", "", "", "", ""}},
        {"key last", "{\"NOTIFYURL\"}", TRUE, {"", "", "", "", "", "", ""}},
        {"brace inside a string", "{\"USERNAME\":\"a}b\"}", TRUE, {"", "a}b", "", "", "", "", ""}},
        {"numbers are not collected",
         "{\"USERNAME\":12,\"DUPLEX\":\"OFF\"}",
         TRUE,
         {"", "DUPLEX", "", "OFF", "", "", ""}},
        {"long value cut to 127",
         "{\"USERNAME\":\"" + longValue + "\"}",
         TRUE,
         {"", std::string(127, 'v'), "", "", "", "", ""}},
        {"unclosed string", "{\"USERNAME\":\"abc", FALSE, {"", "", "", "", "", "", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = WriteTemp("job.txt", c.json);
        char out[JSON_OUT_SLOTS][JSON_SLOT_SIZE];
        memset(out, 0, sizeof out);
        EXPECT_EQ(ParseJSON(path.c_str(), out), c.result);
        for (int i = 0; i < JSON_OUT_SLOTS; i++)
            EXPECT_EQ(std::string(out[i]), c.slots[i]) << "slot " << i;
    }
}

TEST(ParseJSON, MissingFileAndPlantedLinkAreNotRead)
{
    char out[JSON_OUT_SLOTS][JSON_SLOT_SIZE] = {};
    EXPECT_FALSE(ParseJSON((gRoot + "/absent.txt").c_str(), out));
    std::string target = WriteTemp("secret.txt", "{\"USERNAME\":\"leak\"}");
    std::string link = gRoot + "/link.txt";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(ParseJSON(link.c_str(), out));
    EXPECT_STREQ(out[1], "");
}

TEST(CloseSequence, TailWithAndWithoutCancel)
{
    EXPECT_EQ(CloseJobTail(FALSE), std::string("@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n") + UELStr);
    std::string cancelled = CloseJobTail(TRUE);
    EXPECT_EQ(cancelled, std::string("@PJL SET TIMEOUT=5\r\n@PJL HOST_CANCEL\r\n@PJL EOJ\r\n") + UELStr +
                             std::string(DrvCancelStr2, 61));
}

TEST(CloseSequence, NeverEndsOnA512ByteBoundary)
{
    for (BOOL cancel : {FALSE, TRUE}) {
        size_t tail = CloseJobTail(cancel).size();
        // Counted bytes before the close such that the plain close would end on 1024.
        DWORD before = (DWORD)(1024 - 17 - tail);
        for (DWORD start : {before, before + 1}) {
            SCOPED_TRACE(testing::Message() << "cancel " << cancel << " start " << start);
            count_bytes = start;
            StdoutCapture cap;
            PJL_WriteCloseJobCmd(nullptr, cancel);
            std::string out = cap.Finish();
            ASSERT_EQ(out.compare(0, 17, EndOfJobStr), 0);
            bool aligned = start == before;
            std::string align = "@PJL COMMENT DATA ALIGNMENT 512\r\n";
            EXPECT_EQ(out.compare(17, align.size(), align) == 0, aligned);
            EXPECT_EQ(out.size(), 17 + tail + (aligned ? 33 : 0));
            EXPECT_EQ(count_bytes.load(), start + out.size());
            EXPECT_NE(count_bytes.load() % 512, 0u);
        }
    }
    count_bytes = 0;
}

TEST(RingSize, FromTheLargerOfPageAndPaperAndTheMemory)
{
    cups_page_header2_t h = A4Header();
    h.cupsWidth = 4960;
    h.cupsHeight = 7040;
    const unsigned long long a4 = 4960ull * 7040;
    EXPECT_EQ(RingSlotsFor(&h, 0, 6ull << 30), 30u);
    EXPECT_EQ(RingSlotsFor(&h, 0, 512ull << 20), 3u);
    EXPECT_EQ(RingSlotsFor(&h, a4 / 2, 512ull << 20), 3u);
    EXPECT_EQ(RingSlotsFor(&h, 0, 1ull << 20), 1u);
    // A small first page opens no more slots than the largest paper's pages after it fit.
    EXPECT_EQ(RingSlotsFor(&h, 4 * a4, 6ull << 30), 11u);
    EXPECT_EQ(RingSlotsFor(&h, 4 * a4, 512ull << 20), 1u);
    h.cupsInteger[4] = 1; // two planes need twice the room
    EXPECT_EQ(RingSlotsFor(&h, 0, 512ull << 20), 1u);
    // 65504 x 16400 pixels times 4 is past 32 bits: 4.3 GB a slot, not 2 MB.
    h.cupsWidth = 65504;
    h.cupsHeight = 16400;
    EXPECT_EQ(RingSlotsFor(&h, 0, 64ull << 30), 7u);
    h.cupsWidth = 0;
    EXPECT_EQ(RingSlotsFor(&h, 0, 6ull << 30), 1u);
}

TEST(PageScaling, Rules)
{
    for (PAPERFORMAT &row : gPaperFormat)
        row.enable = 1;
    struct Case {
        const char *name;
        unsigned w, h;       // page size
        unsigned refW, refH; // reference page, 0 = first page
        bool a3;
        unsigned scaling, fit; // cupsInteger[7], [13]
        int want;
        unsigned wantW, wantH; // page size afterwards
        float wantMW;
    };
    const Case cases[] = {
        {"A4 as is", 595, 842, 0, 0, false, 0, 0, 100, 595, 842, 842},
        {"user percent kept", 595, 842, 0, 0, false, 50, 0, 50, 595, 842, 842},
        {"custom larger than the printer", 900, 1300, 0, 0, false, 0, 0, 64, 900, 1300, 595},
        {"custom that fits", 700, 1000, 0, 0, false, 0, 0, 100, 700, 1000, 842},
        {"fit Letter to A4", 612, 792, 0, 0, false, 0, 5, 97, 595, 842, 842},
        {"fit with user percent", 612, 792, 0, 0, false, 50, 5, 48, 595, 842, 842},
        {"fit row out of range", 612, 792, 0, 0, false, 0, 16, 100, 612, 792, 842},
        {"second page of another size", 842, 1191, 595, 842, false, 0, 0, 70, 842, 1191, 842},
        {"A3 class keeps size changes", 842, 1191, 595, 842, true, 0, 0, 100, 842, 1191, 842},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cups_page_header2_t h = A4Header(), ref = A4Header();
        h.PageSize[0] = c.w;
        h.PageSize[1] = c.h;
        h.cupsInteger[7] = c.scaling;
        h.cupsInteger[13] = c.fit;
        ref.PageSize[0] = c.refW;
        ref.PageSize[1] = c.refH;
        float MW = 842, MH = 1191;
        EXPECT_EQ(ApplyPageScaling(&h, c.refW ? &ref : nullptr, c.a3, &MW, &MH), c.want);
        EXPECT_EQ((int)h.cupsInteger[7], c.want);
        EXPECT_EQ(h.PageSize[0], c.wantW);
        EXPECT_EQ(h.PageSize[1], c.wantH);
        EXPECT_EQ(MW, c.wantMW);
    }
    // With the default maximum a 700 x 1000 page is fitted to A4 and later pages measure against A4.
    cups_page_header2_t h = A4Header();
    h.PageSize[0] = 700;
    h.PageSize[1] = 1000;
    float MW = 595, MH = 842;
    EXPECT_EQ(ApplyPageScaling(&h, nullptr, false, &MW, &MH), 84);
    EXPECT_EQ(MW, 595.0f);
    EXPECT_EQ(MH, 842.0f);
}

namespace
{

std::string Record(char tag, size_t len)
{
    std::string r(len, tag);
    r[0] = 0x1b;
    r[1] = 'E';
    return r;
}

// Reads the spool records sent to standard output back as their tags.
std::string Tags(const std::string &out, size_t len)
{
    std::string tags;
    for (size_t i = 0; i + len <= out.size(); i += len)
        tags += out[i + 2];
    return tags;
}

} // namespace

TEST(SpoolFile, DuplexFlushSendsWholeSheetsBackFirst)
{
    ASSERT_TRUE(SpoolCreate());
    EXPECT_EQ(gSaveToFile.load(), 1);
    // The job's own file in the shared folder, private to the filter's user.
    std::string path = SpoolFilePath();
    EXPECT_EQ(path.rfind(gRoot + "//tmp//swspool_job", 0), 0u) << path;
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(GetPageDataSize(0), 0u); // empty file
    const size_t len = 40;
    DWORD finish = 0;
    std::string sent;
    for (char tag : std::string("12345")) {
        ASSERT_TRUE(SpoolAppend((const BYTE *)Record(tag, len).data(), len));
        if (SpoolPageCount() % 2 == 0) {
            StdoutCapture cap;
            PJL_FlushPage(&finish, TRUE);
            sent += cap.Finish();
        }
    }
    EXPECT_EQ(Tags(sent, len), "2143");
    EXPECT_EQ(finish, 4u);
    ASSERT_TRUE(SpoolAppend((const BYTE *)Record('6', len).data(), len));
    StdoutCapture cap;
    PJL_FlushPage(&finish, TRUE);
    EXPECT_EQ(Tags(cap.Finish(), len), "65");

    // The file layout: page count, offset 8, then length-prefixed records.
    std::ifstream in(path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 8 + 6 * (4 + len));
    EXPECT_EQ(file.substr(0, 8), std::string("\x06\0\0\0\x08\0\0\0", 8));
    EXPECT_EQ(file.substr(8, 4), std::string("\x28\0\0\0", 4));

    std::vector<BYTE> buf(len);
    EXPECT_EQ(GetPageDataSize(5), len);
    EXPECT_FALSE(GetPageData(5, len - 1, buf.data()));
    EXPECT_TRUE(GetPageData(5, len, buf.data()));
    EXPECT_EQ(buf[2], '6');
    EXPECT_EQ(GetPageDataSize(6), 0u);

    // Wiping keeps the length and leaves only zero bytes.
    EXPECT_TRUE(CleanFileContent(path.c_str()));
    std::ifstream wiped(path, std::ios::binary);
    std::string w((std::istreambuf_iterator<char>(wiped)), std::istreambuf_iterator<char>());
    EXPECT_EQ(w, std::string(file.size(), '\0'));
    SpoolClose();
    gSaveToFile = 0;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_STREQ(SpoolFilePath(), "");
}

TEST(SpoolFile, SimplexFlushSendsEachPageOnce)
{
    ASSERT_TRUE(SpoolCreate());
    DWORD finish = 0;
    std::string sent;
    for (char tag : std::string("12")) {
        ASSERT_TRUE(SpoolAppend((const BYTE *)Record(tag, 36).data(), 36));
        StdoutCapture cap;
        PJL_FlushPage(&finish, FALSE);
        sent += cap.Finish();
    }
    StdoutCapture cap;
    PJL_FlushPage(&finish, FALSE); // nothing new
    sent += cap.Finish();
    EXPECT_EQ(Tags(sent, 36), "12");
    SpoolClose();
    gSaveToFile = 0;
}

TEST(SpoolFile, NothingPlantedAtTheOldSharedNameIsTouched)
{
    std::string victim = gRoot + "/victim.txt";
    WriteTemp("victim.txt", "keep me");
    std::string old = gRoot + "//tmp//swspool.dat";
    unlink(old.c_str());
    ASSERT_EQ(symlink(victim.c_str(), old.c_str()), 0);
    ASSERT_TRUE(SpoolCreate());
    std::string path = SpoolFilePath();
    EXPECT_NE(path, old);
    ASSERT_TRUE(SpoolAppend((const BYTE *)Record('A', 36).data(), 36));
    SpoolClose();
    gSaveToFile = 0;
    struct stat st;
    ASSERT_EQ(lstat(old.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::ifstream in(victim);
    std::string v;
    std::getline(in, v);
    EXPECT_EQ(v, "keep me");
    unlink(old.c_str());
}

TEST(SpoolFile, JobsSpoolSideBySideWithoutWaiting)
{
    ASSERT_TRUE(SpoolCreate());
    ASSERT_TRUE(SpoolAppend((const BYTE *)Record('A', 36).data(), 36));
    std::string first = SpoolFilePath();
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // The second job, a process of its own, while the first still spools.
        close(done[0]);
        std::string answer = "n";
        if (SpoolCreate() && SpoolAppend((const BYTE *)Record('B', 36).data(), 36) &&
            SpoolFilePath() != first)
            answer = SpoolFilePath();
        (void)!write(done[1], answer.data(), answer.size());
        close(done[1]);
        SpoolClose();
        _exit(0);
    }
    close(done[1]);
    std::string answer;
    char buf[512];
    ssize_t n;
    while ((n = read(done[0], buf, sizeof buf)) > 0)
        answer.append(buf, (size_t)n);
    close(done[0]);
    int status;
    waitpid(pid, &status, 0);
    EXPECT_NE(answer, "n") << "the second job could not spool while the first did";
    EXPECT_NE(access(answer.c_str(), F_OK), 0) << "the second job's file was left behind";
    std::vector<BYTE> rec(36);
    ASSERT_EQ(GetPageDataSize(0), 36u);
    ASSERT_TRUE(GetPageData(0, 36, rec.data()));
    EXPECT_EQ(rec[2], 'A'); // the first job's record is untouched
    SpoolClose();
    gSaveToFile = 0;
}

TEST(SpoolFile, RecordThatCannotBeReadBackCancelsTheJob)
{
    const size_t len = 40;
    struct Case {
        const char *name;
        off_t cutTo;           // the file is cut to this length (0: not cut)
        uint32_t recordLength; // the second record's length field is overwritten (0: kept)
    };
    const off_t second = 8 + (4 + len); // offset of the second record's length field
    const Case cases[] = {
        {"data of the back page cut short", second + 4 + (off_t)len / 2, 0},
        {"length of the back page cut short", second + 2, 0},
        {"back page length beyond the file", 0, 0x7FFFFFF0u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        gCancelJob = 0;
        ASSERT_TRUE(SpoolCreate());
        for (char tag : std::string("123"))
            ASSERT_TRUE(SpoolAppend((const BYTE *)Record(tag, len).data(), len));
        std::string path = SpoolFilePath();
        if (c.cutTo) {
            ASSERT_EQ(truncate(path.c_str(), c.cutTo), 0);
        }
        if (c.recordLength) {
            int fd = open(path.c_str(), O_WRONLY);
            uint32_t v = c.recordLength; // little-endian host
            ASSERT_EQ(pwrite(fd, &v, 4, second), 4);
            close(fd);
        }
        DWORD finish = 0;
        StdoutCapture out;
        StdoutCapture err(2);
        PJL_FlushPage(&finish, TRUE);
        std::string e = err.Finish();
        std::string o = out.Finish();
        // No front page goes out without its back, and the job is cancelled with a reason.
        EXPECT_EQ(o, "");
        EXPECT_EQ(finish, 0u);
        EXPECT_EQ(gCancelJob.load(), 1);
        EXPECT_NE(e.find("ERROR: Unable to read page 2 back from the spool file\n"), std::string::npos) << e;
        SpoolClose();
        gSaveToFile = 0;
    }
    gCancelJob = 0;
}
