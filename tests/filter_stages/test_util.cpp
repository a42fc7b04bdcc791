// Utility layer: row sizes, the digit parser, the piecewise move and the
// debug log's destination rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "paths.h"
#include "stage_fixtures.h"

namespace {

const std::string gRoot = TestRootDir();
const std::string gLogDir = gRoot + "/tmp/cups";
const std::string gLogFile = gLogDir + "/printer.log";

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void ResetLogDir()
{
    unlink(gLogFile.c_str());
    unlink((gRoot + "/elsewhere").c_str());
    rmdir(gLogDir.c_str());
    unlink(gLogDir.c_str());
}

} // namespace

TEST(BytesPerLine, RoundsRowsToFourBytes)
{
    struct Case {
        WORD bits;
        DWORD width;
        WORD want;
    } cases[] = {
        {1, 1, 4}, {1, 32, 4}, {1, 33, 8}, {4, 9, 8}, {8, 4, 4}, {8, 5, 8},
        {24, 5, 16}, {24, 4, 12}, {2, 100, 0}, {16, 100, 0}, {32, 100, 0},
        {8, 70000, static_cast<WORD>(70000)}, // reduced to 16 bits
    };
    for (const Case &c : cases)
        EXPECT_EQ(GetBMPBytesPerLine(c.bits, c.width), c.want) << c.bits << " bits, " << c.width;
}

TEST(Str2Int, TakesLeadingDigitsOnly)
{
    struct Case {
        const char *text;
        int want;
    } cases[] = {
        {"2abc", 2}, {"abc", 0}, {"", 0}, {"0042", 42}, {"-5", 0}, {"+5", 0}, {"12 34", 12}, {"300dpi", 300},
    };
    for (const Case &c : cases)
        EXPECT_EQ(str2Int(c.text), c.want) << '"' << c.text << '"';
    EXPECT_EQ(str2Int(nullptr), 0);
    str2Int("99999999999999999999"); // wraps quietly, no undefined overflow
}

TEST(MoveMemory, MovesLongOverlappingRangesIntact)
{
    // Longer than one 60000-byte piece, overlapping in both directions.
    const DWORD count = 150001;
    const size_t base = 80000;
    for (long shift : {1000L, -1000L, 70000L, -70000L, 0L}) {
        std::vector<BYTE> buf(count + 2 * base);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = static_cast<BYTE>(i * 7 + i / 251);
        std::vector<BYTE> expect(buf);
        memmove(expect.data() + base + shift, expect.data() + base, count);
        MoveMemory(buf.data() + base + shift, buf.data() + base, count);
        EXPECT_EQ(buf, expect) << "shift " << shift;
    }
    BYTE a[5] = {1, 2, 3, 4, 5}, b[5] = {};
    CopyMemory(b, a, 5);
    EXPECT_EQ(0, memcmp(a, b, 5));
}

TEST(TickCount, IsMonotonicMilliseconds)
{
    DWORD a = GetTickCount();
    Sleep(20);
    DWORD b = GetTickCount();
    EXPECT_GE(b - a, 19u);
    EXPECT_LT(b - a, 2000u);
    EXPECT_GT(getTotalSystemMemory(), 0u);
}

TEST(DbgMessage, WithoutLogFolderWritesDebugLinesToStderr)
{
    ResetLogDir();
    StderrCapture cap;
    DbgMessage("myFunc", "value %d, text %s", 42, "abc");
    std::string out = cap.text();
    EXPECT_EQ(out, "DEBUG: [---filter---][--myFunc--] value 42, text abc\n");
    struct stat st;
    EXPECT_NE(0, stat(gLogDir.c_str(), &st)) << "the folder is never created";
}

TEST(DbgMessage, WithTrustedFolderAppendsTimedLinesToPrivateFile)
{
    ResetLogDir();
    ASSERT_EQ(0, mkdir(gLogDir.c_str(), 0700));
    gJobID = 77;
    StderrCapture cap;
    DbgMessage("first", "one");
    DbgMessage("second", "%s", "two");
    EXPECT_EQ(cap.text(), "");
    std::string log = ReadFile(gLogFile);
    std::istringstream lines(log);
    std::string l1, l2;
    std::getline(lines, l1);
    std::getline(lines, l2);
    // "[YYYY/MM/DD hh:mm:ss] [Job 77] [---filter---][--first--] one"
    ASSERT_GE(l1.size(), 22u) << log;
    EXPECT_EQ(l1[0], '[');
    EXPECT_EQ(l1[5], '/');
    EXPECT_EQ(l1[8], '/');
    EXPECT_EQ(l1[14], ':');
    EXPECT_EQ(l1.substr(20), "] [Job 77] [---filter---][--first--] one");
    EXPECT_EQ(l2.substr(20), "] [Job 77] [---filter---][--second--] two");
    struct stat st;
    ASSERT_EQ(0, stat(gLogFile.c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    gJobID = 0;
}

TEST(DbgMessage, OverlongLineIsCutAtTheBuffer)
{
    ResetLogDir();
    ASSERT_EQ(0, mkdir(gLogDir.c_str(), 0700));
    std::string big(5000, 'x');
    DbgMessage("f", "%s", big.c_str());
    std::string log = ReadFile(gLogFile);
    EXPECT_EQ(log.size(), 2048u); // 2047 characters and the line feed
    EXPECT_EQ(log.back(), '\n');
}

TEST(DbgMessage, UntrustedOrUnusableFolderFallsBackToStderr)
{
    struct Case {
        const char *name;
        void (*make)();
    } cases[] = {
        {"group and world writable", [] { mkdir(gLogDir.c_str(), 0700); chmod(gLogDir.c_str(), 0777); }},
        {"a symbolic link to a folder",
         [] {
             mkdir((gRoot + "/elsewhere").c_str(), 0700);
             symlink((gRoot + "/elsewhere").c_str(), gLogDir.c_str());
         }},
        {"a plain file", [] { std::ofstream(gLogDir) << "x"; }},
    };
    for (const Case &c : cases) {
        ResetLogDir();
        rmdir((gRoot + "/elsewhere").c_str());
        c.make();
        StderrCapture cap;
        DbgMessage("fn", "msg");
        EXPECT_EQ(cap.text(), "DEBUG: [---filter---][--fn--] msg\n") << c.name;
        struct stat st;
        EXPECT_NE(0, lstat(gLogFile.c_str(), &st)) << c.name;
        EXPECT_NE(0, lstat((gRoot + "/elsewhere/printer.log").c_str(), &st)) << c.name;
    }
    ResetLogDir();
    rmdir((gRoot + "/elsewhere").c_str());
}

TEST(DbgMessage, ReadOnlyFolderFallsBackToStderr)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root can write to a read-only folder";
    ResetLogDir();
    ASSERT_EQ(0, mkdir(gLogDir.c_str(), 0500));
    StderrCapture cap;
    DbgMessage("fn", "msg");
    EXPECT_EQ(cap.text(), "DEBUG: [---filter---][--fn--] msg\n");
    chmod(gLogDir.c_str(), 0700);
    ResetLogDir();
}

TEST(DbgMessage, NeverFollowsAPlantedLogFileLink)
{
    ResetLogDir();
    ASSERT_EQ(0, mkdir(gLogDir.c_str(), 0700));
    std::string victim = gRoot + "/victim";
    std::ofstream(victim) << "keep\n";
    ASSERT_EQ(0, symlink(victim.c_str(), gLogFile.c_str()));
    DbgMessage("fn", "msg");
    EXPECT_EQ(ReadFile(victim), "keep\n");
    unlink(victim.c_str());
    ResetLogDir();
}

namespace
{

// Whether `s` is whole UTF-8 characters (no character cut short).
bool WholeUtf8(const std::string &s)
{
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

} // namespace

TEST(StandardErrorLines, LongMessagesAreCutToOneLineOfTheSchedulersSize)
{
    // The scheduler ends a line at 2047 bytes without a line feed: a longer one
    // would go on as a line of its own, whatever its text says.
    ResetLogDir();
    struct Writer {
        std::string prefix;
        void (*write)(const std::string &);
    } writers[] = {
        {"DEBUG: [---filter---][--fn--] ", [](const std::string &t) { DbgMessage("fn", "%s", t.c_str()); }},
        {"ERROR: ", [](const std::string &t) { RasterError("%s", t.c_str()); }},
        {"STATE: ", [](const std::string &t) { CupsLine("STATE: ", t.c_str()); }},
    };
    for (const Writer &w : writers) {
        // Up to the last two bytes before the line feed, then what falls on the cut.
        const std::string fill(2045 - w.prefix.size(), 'x');
        const std::string texts[] = {
            std::string(5000, 'x'), fill + "PAGE: 99 1",
            fill + "\nSTATE: +forged-error",   // an escaped line feed
            fill + "\xe6\x8a\xa5\xe5\x91\x8a", // three-byte characters
        };
        for (const std::string &t : texts) {
            SCOPED_TRACE(w.prefix + "... of " + std::to_string(t.size()) + " bytes");
            StderrCapture cap;
            w.write(t);
            const std::string out = cap.text();
            ASSERT_FALSE(out.empty());
            EXPECT_LE(out.size(), 2047u);
            EXPECT_GE(out.size(), 2045u) << "cut shorter than the line";
            EXPECT_EQ(out.find('\n'), out.size() - 1) << "not one line";
            EXPECT_EQ(out.rfind(w.prefix, 0), 0u);
            EXPECT_TRUE(WholeUtf8(out));
            EXPECT_NE(out[out.size() - 2], '\\') << "an escape cut in half";
        }
    }
}
