// The capability query with its three tries and the capability cache file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "binding_root.h"
#include "rasterpress.h"
#include "statusmonitor.h"

namespace {

enum Cache { NoCache, ValidCache, ShortCache, SymlinkCache };

std::string cacheBlock(BYTE f0, BYTE f1)
{
    std::string block(PRINTER_CAPABILITY_SIZE, '\0');
    block[0] = static_cast<char>(f0);
    block[1] = static_cast<char>(f1);
    return block;
}

class Capability : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A run by hand: the cache lives at its name under the test root.
        unsetenv("TMPDIR");
        simenv::removeLibraries(bindingRoot());
        simenv::placeLibrary(bindingRoot(), SIM_FULL_LIB, "/usr/bin/hwbridge.so");
        simenv::fs::remove_all(bindingRoot() + "/tmp");
        simenv::fs::create_directories(bindingRoot() + "/tmp");
    }
    void TearDown() override { UnloadStatusMonitor(); }
    PrinterAttribute printers[MAX_SM_PRINTERS];
    int count = 0, select = -1;
};

} // namespace

TEST_F(Capability, QueryCacheAndFallback)
{
    const std::string root = bindingRoot();
    const std::string queueCache = root + "/tmp/q1.dat";
    const std::string sharedCache = root + "/tmp/PRN.dat";
    const std::string elsewhere = root + "/elsewhere.dat";
    struct Case {
        const char *what;
        int capFail;        // failed tries before the printer answers 51 21
        const char *queue;  // queue the filter runs for (q1 is listed)
        int IgnorePSM;
        Cache cache;        // what lies at the cache path before the run
        int expectQueries;
        BYTE expect0, expect1;
        bool expectCacheWritten;
    } cases[] = {
        {"answer on first try", 0, "q1", 0, NoCache, 1, 0x51, 0x21, true},
        {"answer on third try", 2, "q1", 0, ValidCache, 3, 0x51, 0x21, true},
        {"three failures read the cache", 3, "q1", 0, ValidCache, 3, 0x12, 0x34, false},
        {"three failures, no cache: all bits 0", 3, "q1", 0, NoCache, 3, 0, 0, false},
        {"cut-short cache is not used", 3, "q1", 0, ShortCache, 3, 0, 0, false},
        {"status monitor off: shared cache, no query", 0, "q1", 1, ValidCache, 0, 0x12, 0x34, false},
        {"queue not listed: cache only", 0, "q7", 0, ValidCache, 0, 0x12, 0x34, false},
        {"symlinked cache is never written", 0, "q1", 0, SymlinkCache, 1, 0x51, 0x21, false},
        {"symlinked cache is never read", 3, "q1", 0, SymlinkCache, 3, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeSimState("printer=q1 socket://10.0.0.5\ncap=51 21\ncap_fail=" + std::to_string(c.capFail) + "\n");
        std::string cachePath = c.IgnorePSM ? sharedCache : root + "/tmp/" + c.queue + ".dat";
        std::remove(cachePath.c_str());
        std::remove(elsewhere.c_str());
        const std::string stale = cacheBlock(0x12, 0x34);
        if (c.cache == ValidCache)
            simenv::writeFile(cachePath, stale);
        if (c.cache == ShortCache)
            simenv::writeFile(cachePath, stale.substr(0, 100));
        if (c.cache == SymlinkCache) {
            simenv::writeFile(elsewhere, stale);
            ASSERT_EQ(symlink(elsewhere.c_str(), cachePath.c_str()), 0);
        }

        LoadStatusMonitor(printers, &count, &select, c.queue, "");
        BYTE cap[PRINTER_CAPABILITY_SIZE] = {};
        QueryCapability(printers, select, c.IgnorePSM, c.queue, cap);
        EXPECT_EQ(cap[0], c.expect0);
        EXPECT_EQ(cap[1], c.expect1);
        EXPECT_EQ(simenv::countLines(simCalls(), "SendPrinterControl printer=q1 func=13 len=1026"),
                  c.expectQueries);
        if (c.expectCacheWritten) {
            EXPECT_EQ(simenv::readFile(cachePath), cacheBlock(0x51, 0x21));
            struct stat st;
            ASSERT_EQ(lstat(cachePath.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        }
        if (c.cache == SymlinkCache) {
            EXPECT_EQ(simenv::readFile(elsewhere), stale) << "the link target was changed";
        }
        if (c.cache == ValidCache && !c.expectCacheWritten) {
            EXPECT_EQ(simenv::readFile(cachePath), stale);
        }
        UnloadStatusMonitor();
        std::remove(cachePath.c_str());
    }
}

TEST(CapabilityFile, Names)
{
    char name[128];
    EXPECT_TRUE(CapabilityFileName(0, "192.168.1.20", name, sizeof name));
    EXPECT_STREQ(name, "//tmp//192.168.1.20.dat");
    EXPECT_TRUE(CapabilityFileName(2, "192.168.1.20", name, sizeof name));
    EXPECT_STREQ(name, "//tmp/PRN.dat");
    // A queue name must not lead the cache out of its folder or be cut.
    EXPECT_FALSE(CapabilityFileName(0, "../etc/x", name, sizeof name));
    EXPECT_FALSE(CapabilityFileName(0, "", name, sizeof name));
    EXPECT_FALSE(CapabilityFileName(0, std::string(200, 'q').c_str(), name, sizeof name));
}
