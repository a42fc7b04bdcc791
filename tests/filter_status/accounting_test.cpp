// The accounting dialog against a scripted status-monitor entry.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rasterpress.h"
#include "sim_env.h"
#include "statusmonitor.h"

namespace {

// Keeps the debug log away from the real fixed paths.
[[maybe_unused]] const std::string &gRoot = simenv::privateRoot("fstatus-acc");

// What the fake status monitor answers, and what it was told.
struct Script {
    std::string id, pwd;
    int idAt = 0, pwdAt = 0; // reads before each appears; -1 = never
    bool fillWholeId = false; // an ID filling all 29 bytes, without terminator
    int reads = 0;
    std::vector<std::string> writes;
} gScript;

int fakeEx(int rw, int item, char *PrinterName, void *data, int size)
{
    EXPECT_EQ(size, static_cast<int>(sizeof(SMMemDataEx)));
    SMMemDataEx *rec = static_cast<SMMemDataEx *>(data);
    if (rw == SDK_Write) {
        gScript.writes.push_back(std::to_string(item) + " " + PrinterName + " job=" + std::to_string(rec->JobID) +
                                 " type=" + std::to_string(rec->AccDialogType));
        return 0;
    }
    EXPECT_EQ(item, Read_None);
    int n = gScript.reads++;
    std::memset(rec->AccID, 0, sizeof rec->AccID);
    std::memset(rec->AccPwd, 0, sizeof rec->AccPwd);
    if (gScript.idAt >= 0 && n >= gScript.idAt) {
        if (gScript.fillWholeId)
            std::memset(rec->AccID, 'Z', sizeof rec->AccID);
        else
            std::strncpy(rec->AccID, gScript.id.c_str(), sizeof rec->AccID - 1);
    }
    if (gScript.pwdAt >= 0 && n >= gScript.pwdAt)
        std::strncpy(rec->AccPwd, gScript.pwd.c_str(), sizeof rec->AccPwd - 1);
    return 0;
}

class Accounting : public ::testing::Test {
protected:
    void SetUp() override
    {
        gScript = Script();
        fnReadWriteMemoryEx = fakeEx;
        gJobID = 77;
        gCancelJob = 0;
        std::memset(accid, 0, sizeof accid);
        std::memset(accpw, 0, sizeof accpw);
    }
    void TearDown() override
    {
        fnReadWriteMemoryEx = nullptr;
        gCancelJob = 0;
    }
    double runSeconds(int type)
    {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(AccountingDlg("q1", type, accid, accpw), TRUE);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    char accid[128], accpw[128];
};

} // namespace

TEST_F(Accounting, WaitsForTheAnswerItAskedFor)
{
    struct Case {
        const char *what;
        int type;
        int idAt, pwdAt;
        const char *expectId, *expectPwd;
        int expectReads;
        int expectType; // dialog type sent to the status monitor
    } cases[] = {
        {"type 1 takes the ID, never the password", 1, 0, 0, "alice", "", 1, 1},
        {"type 2 waits for the password", 2, 0, 1, "alice", "s3cret", 2, 2},
        {"type 2 waits for the ID", 2, 1, 0, "alice", "s3cret", 2, 2},
        {"other types act as type 1", 5, 1, -1, "alice", "", 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        gScript.id = "alice";
        gScript.pwd = "s3cret";
        gScript.idAt = c.idAt;
        gScript.pwdAt = c.pwdAt;
        double secs = runSeconds(c.type);
        EXPECT_STREQ(accid, c.expectId);
        EXPECT_STREQ(accpw, c.expectPwd);
        EXPECT_EQ(gScript.reads, c.expectReads);
        // Each unanswered poll waits three seconds.
        EXPECT_GE(secs, 3.0 * (c.expectReads - 1) - 0.1);
        const std::vector<std::string> writes = {"1 q1 job=77 type=" + std::to_string(c.expectType),
                                                 "8 q1 job=77 type=" + std::to_string(c.expectType)};
        EXPECT_EQ(gScript.writes, writes);
    }
}

TEST_F(Accounting, UnterminatedIdIsCopiedWithinItsField)
{
    gScript.fillWholeId = true;
    runSeconds(1);
    EXPECT_EQ(std::string(accid), std::string(29, 'Z'));
}

TEST_F(Accounting, CancelledJobStopsWaiting)
{
    gScript.idAt = -1; // the user never answers
    gCancelJob = 1;
    double secs = runSeconds(2);
    EXPECT_LT(secs, 1.0);
    EXPECT_STREQ(accid, "");
    EXPECT_STREQ(accpw, "");
}

TEST_F(Accounting, WithoutTheEntryNothingIsAsked)
{
    fnReadWriteMemoryEx = nullptr;
    runSeconds(2);
    EXPECT_STREQ(accid, "");
    EXPECT_STREQ(accpw, "");
    EXPECT_EQ(gScript.reads, 0);
}
