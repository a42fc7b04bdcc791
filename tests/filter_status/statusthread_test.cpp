// The printer-status thread against scripted status-monitor entries: error
// suspend and resume, the Cancel button, supplies, the stop request.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rasterpress.h"
#include "sim_env.h"
#include "statusmonitor.h"

namespace {

// Keeps the debug log away from the real fixed paths.
[[maybe_unused]] const std::string &gRoot = simenv::privateRoot("fstatus-thread-root");

using Clock = std::chrono::steady_clock;

// The fake printer: codes per poll (the last entry repeats), a port, a Cancel poll.
struct Printer {
    std::mutex lock;
    std::vector<std::vector<int>> codes;
    std::string port = "socket://10.0.0.5:9100";
    bool psmCarriesPort = true;
    int cancelAt = -1;
    long cartridge = 42;
    int polls = 0;
} gPrinter;

void fill(int poll, pErrorInfo *status, SuppliesInfo *supplies)
{
    std::memset(status, 0, sizeof *status);
    if (!gPrinter.codes.empty()) {
        const std::vector<int> &c = gPrinter.codes[std::min<size_t>(poll, gPrinter.codes.size() - 1)];
        for (size_t i = 0; i < c.size(); ++i)
            status->code[i] = c[i];
        status->ErrNum = static_cast<int>(c.size());
    }
    std::memset(supplies, 0, sizeof *supplies);
    supplies->UsageRemain[USAGE_REMAIN_CARTRIDGE] = gPrinter.cartridge;
}

int fakeQuery(PrinterAttribute *, pErrorInfo *status, SuppliesInfo *supplies)
{
    std::lock_guard<std::mutex> g(gPrinter.lock);
    fill(gPrinter.polls++, status, supplies);
    return 0;
}

int fakeRead(int rw, int, char *, SMCancelJobStruc *rec)
{
    if (rw != SDK_Read)
        return 0;
    std::lock_guard<std::mutex> g(gPrinter.lock);
    int poll = gPrinter.polls++;
    std::memset(rec, 0, sizeof *rec);
    if (gPrinter.psmCarriesPort)
        std::strncpy(rec->PInfo.Port, gPrinter.port.c_str(), sizeof rec->PInfo.Port - 1);
    fill(poll, &rec->PInfo.status, &rec->PInfo.supplies);
    rec->CancelSignal = gPrinter.cancelAt >= 0 && poll >= gPrinter.cancelAt;
    return 0;
}

int polls()
{
    std::lock_guard<std::mutex> g(gPrinter.lock);
    return gPrinter.polls;
}

// Standard error of the process goes to a file while the thread runs.
class StderrCapture {
public:
    StderrCapture() : dir_("fstatus-thread")
    {
        path_ = dir_.path() + "/stderr";
        saved_ = dup(STDERR_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text()
    {
        restore();
        return simenv::readFile(path_);
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    simenv::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

class StatusThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> g(gPrinter.lock);
            gPrinter.codes.clear();
            gPrinter.port = "socket://10.0.0.5:9100";
            gPrinter.psmCarriesPort = true;
            gPrinter.cancelAt = -1;
            gPrinter.polls = 0;
        }
        fnQueryPrinterStatus = fakeQuery;
        fnReadWriteMemory = fakeRead;
        gCancelJob = 0;
        gErrorSuspend = 0;
        gStatusThreadExit = 0;
        std::memset(&entry, 0, sizeof entry);
        std::strcpy(entry.PrinterName, "q1");
    }
    void TearDown() override
    {
        stop();
        fnQueryPrinterStatus = nullptr;
        fnReadWriteMemory = nullptr;
        gCancelJob = 0;
        gErrorSuspend = 0;
        gStatusThreadExit = 0;
    }
    void start(bool psm, DWORD feature, bool withPrinter = true)
    {
        {
            std::lock_guard<std::mutex> g(gPrinter.lock);
            std::strncpy(entry.PortName, gPrinter.port.c_str(), sizeof entry.PortName - 1);
        }
        info.WorkPrinter = withPrinter ? &entry : nullptr;
        info.IsPSMExist = psm;
        info.DriverFeature = feature;
        if (feature & DRVF_ABORT_ON_ERROR)
            gErrorSuspend = 1; // the job starts suspended
        ASSERT_EQ(pthread_create(&tid, nullptr, CheckPrinterStatus, &info), 0);
        running = true;
    }
    // Stops the thread; returns how long it took to end after being told.
    double stop()
    {
        if (!running)
            return 0;
        auto t0 = Clock::now();
        gStatusThreadExit = 1;
        pthread_join(tid, nullptr);
        running = false;
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }
    // Waits until the thread has ended by itself (true) or the time is up.
    bool endsWithin(double seconds)
    {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            if (pthread_tryjoin_np(tid, nullptr) == 0) {
                running = false;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void waitPolls(int n)
    {
        auto deadline = Clock::now() + std::chrono::seconds(15);
        while (polls() < n && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // Let the thread act on the poll it just made: midway to the next 500 ms
        // poll, so a loaded machine neither checks too early nor too late.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    PrinterAttribute entry;
    StatusThreadInfo info;
    pthread_t tid;
    bool running = false;
};

} // namespace

TEST(IgnoredCodes, RemovedInOrder)
{
    struct Case {
        const char *what;
        int errNum;
        std::vector<int> codes;
        std::vector<int> expect;
    } cases[] = {
        {"ignored code around a real one", 3, {500001, 7, 500001}, {7}},
        {"order of the others kept", 4, {9, 500001, 3, 12}, {9, 3, 12}},
        {"only ignored codes", 2, {500001, 500001}, {}},
        {"no codes", 0, {}, {}},
        {"negative count means none", -4, {7}, {}},
        {"count beyond the list is cut to it", 9999, {7}, {}}, // checked below
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pErrorInfo s;
        std::memset(&s, 0, sizeof s);
        s.ErrNum = c.errNum;
        for (size_t i = 0; i < c.codes.size(); ++i)
            s.code[i] = c.codes[i];
        RemoveIgnoredCodes(&s);
        std::vector<int> got(s.code, s.code + s.ErrNum);
        if (c.errNum == 9999) {
            // 512 slots: the real code and 511 zero codes remain.
            ASSERT_EQ(s.ErrNum, 512);
            EXPECT_EQ(got[0], 7);
            continue;
        }
        EXPECT_EQ(got, c.expect);
    }
}

TEST_F(StatusThread, PsmErrorSuspendsAndItsClearingResumes)
{
    gPrinter.codes = {{500001}, {7, 500001}, {7}, {}};
    StderrCapture err;
    start(true, DRVF_ABORT_ON_ERROR);
    waitPolls(1);
    EXPECT_EQ(gErrorSuspend.load(), 0) << "an ignored code alone is no error";
    waitPolls(2);
    EXPECT_EQ(gErrorSuspend.load(), 1);
    waitPolls(4);
    EXPECT_EQ(gErrorSuspend.load(), 0);
    EXPECT_EQ(gCancelJob.load(), 0);
    EXPECT_LT(stop(), 1.0);
    // The status-monitor process reports errors to CUPS itself.
    EXPECT_EQ(simenv::countLines(err.text(), "STATE:"), 0);
}

TEST_F(StatusThread, ErrorsOnlyLoggedWithoutAbortOnError)
{
    gPrinter.codes = {{7}};
    StderrCapture err;
    start(true, 0);
    waitPolls(3);
    EXPECT_EQ(gErrorSuspend.load(), 0);
    EXPECT_EQ(gCancelJob.load(), 0);
    stop();
    EXPECT_EQ(simenv::countLines(err.text(), "STATE:"), 0);
}

TEST_F(StatusThread, PrinterCancelButtonCancelsTheJob)
{
    gPrinter.cancelAt = 1;
    start(true, DRVF_ABORT_ON_ERROR);
    ASSERT_TRUE(endsWithin(5));
    EXPECT_EQ(gCancelJob.load(), 1);
    EXPECT_EQ(gErrorSuspend.load(), 0);
    EXPECT_EQ(polls(), 2);
}

TEST_F(StatusThread, EndsAtOnceWithNothingToPoll)
{
    struct Case {
        const char *what;
        bool psm, withPrinter, withQuery;
        DWORD feature;
    } cases[] = {
        {"no printer selected", true, false, true, DRVF_ABORT_ON_ERROR},
        {"no status query entry", false, true, false, DRVF_ABORT_ON_ERROR},
        {"status monitor turned off", false, true, true, DRVF_ABORT_ON_ERROR | DRVF_DISABLE_STATUS_MONITOR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (!c.withQuery)
            fnQueryPrinterStatus = nullptr;
        start(c.psm, c.feature, c.withPrinter);
        ASSERT_TRUE(endsWithin(1));
        // The suspended job is let go, not cancelled.
        EXPECT_EQ(gErrorSuspend.load(), 0);
        EXPECT_EQ(gCancelJob.load(), 0);
        EXPECT_EQ(polls(), 0);
    }
}

TEST_F(StatusThread, UsbPrinterReportsCartridgeLevel)
{
    gPrinter.port = "usb://Maker/JYX-30?serial=1";
    gPrinter.cartridge = 42;
    StderrCapture err;
    start(false, 0);
    waitPolls(1);
    EXPECT_LT(stop(), 1.0);
    std::string text = err.text();
    EXPECT_EQ(simenv::countLines(text, "ATTR: marker-levels=42"), 1) << text;
}

TEST_F(StatusThread, StopsWithinASecondOfBeingTold)
{
    // Without the status-monitor process the thread sleeps 10 s between polls.
    start(false, DRVF_ABORT_ON_ERROR);
    waitPolls(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(stop(), 1.0);
    EXPECT_EQ(polls(), 1);
    EXPECT_EQ(gErrorSuspend.load(), 0);
}
