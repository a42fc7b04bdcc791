// The writer thread against hand-made finished slots: strict page order
// whatever order the workers finish in, ring wrap-around, and a slot without
// a record is never sent but fails the job unless it is being cancelled; and
// the reader waiting for a busy slot.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "rasterpress.h"

namespace
{

// The filter's log goes to a private test root, set before anything logs.
struct LogRoot {
    std::string path;
    LogRoot()
    {
        char tmpl[] = "/tmp/rp-ringlog-XXXXXX";
        path = mkdtemp(tmpl);
        mkdir((path + "/tmp").c_str(), 0755);
        mkdir((path + "/tmp/cups").c_str(), 0700);
        setenv("RASTERPRESS_TEST_ROOT", path.c_str(), 1);
    }
    ~LogRoot() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    std::string Text() const
    {
        std::ifstream in(path + "/tmp/cups/printer.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
} gLogRoot;

class WriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/rp-ring-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/out.bin";
        fflush(stdout);
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        saved_ = dup(1);
        dup2(fd_, 1);
        for (int i = 0; i < MAX_RING_SLOTS; i++) {
            ring_[i].PageIndex = i;
            ring_[i].lpbuf = nullptr;
            ring_[i].flag.store(0);
        }
        memset(&ginheader_bak, 0, sizeof ginheader_bak);
        gJbigThreadExit = 0;
        gSaveToFile = 0;
        gCancelJob = 0;
        gJobFailed = 0;
        gMAX_THREAD = 3;
        ASSERT_EQ(pthread_create(&writer_, nullptr, JbigThread, ring_), 0);
        WaitWriterStarted();
    }
    void TearDown() override
    {
        gJbigThreadExit = 1;
        pthread_join(writer_, nullptr);
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        close(fd_);
        for (auto &s : ring_)
            free(s.lpbuf);
        std::string cmd = "rm -rf '" + dir_ + "'";
        (void)!system(cmd.c_str());
        gCancelJob = 0;
        gMAX_THREAD = 1;
    }

    // A worker's last step: the record is complete, then JOB_IMAGE_DONE (release).
    void Finish(DWORD page, char tag, DWORD outLen = 8)
    {
        JobInfo &s = ring_[page % gMAX_THREAD.load()];
        ASSERT_EQ(s.flag.load(std::memory_order_acquire), 0u) << "slot still busy";
        memset(&s.inheader, 0, sizeof s.inheader);
        s.PageIndex = page;
        s.page_width = s.page_height = 32;
        s.linebyte = 4;
        s.pagesize = 128;
        s.lpbuf = (BYTE *)malloc(34 + 8);
        memset(s.lpbuf, tag, 34 + 8);
        s.lpbuf[0] = 0x1b;
        s.lpbuf[1] = 'E';
        s.outLen = outLen;
        s.CompressSize = outLen;
        s.blackDots = 0;
        s.flag.store(JOB_FILLED | JOB_IMAGE_DONE, std::memory_order_release);
    }
    // A worker whose stages failed: no bitmap, no record, the slot done.
    void Lose(DWORD page)
    {
        JobInfo &s = ring_[page % gMAX_THREAD.load()];
        ASSERT_EQ(s.flag.load(std::memory_order_acquire), 0u) << "slot still busy";
        s.PageIndex = page;
        s.lpbuf = nullptr;
        s.outLen = 0;
        s.flag.store(JOB_FILLED | JOB_IMAGE_DONE, std::memory_order_release);
    }
    bool WaitEmpty(DWORD page)
    {
        for (int i = 0; i < 100; i++) {
            if (ring_[page % gMAX_THREAD.load()].flag.load(std::memory_order_acquire) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Payload tags of the records written so far.
    std::string Tags()
    {
        fflush(stdout);
        std::string out;
        char buf[4096];
        ssize_t n;
        int fd = open(path_.c_str(), O_RDONLY);
        while ((n = read(fd, buf, sizeof buf)) > 0)
            out.append(buf, n);
        close(fd);
        std::string tags;
        for (size_t i = 0; i + 42 <= out.size(); i += 42)
            tags += out[i + 34];
        return tags;
    }

    JobInfo ring_[MAX_RING_SLOTS];
    pthread_t writer_;
    std::string dir_, path_;
    int fd_ = -1, saved_ = -1;
};

} // namespace

TEST_F(WriterTest, LaterPageWaitsForTheEarlierOne)
{
    Finish(2, 'c');
    Finish(1, 'b');
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(Tags(), "");
    Finish(0, 'a');
    ASSERT_TRUE(WaitEmpty(2));
    EXPECT_EQ(Tags(), "abc");
    EXPECT_EQ(ring_[1].lpbuf, nullptr);

    // Round the ring: page 3 reuses slot 0.
    Finish(4, 'e');
    Finish(3, 'd');
    ASSERT_TRUE(WaitEmpty(4));
    EXPECT_EQ(Tags(), "abcde");
    EXPECT_EQ(gCancelJob.load(), 0);
}

TEST_F(WriterTest, SlotWithoutARecordIsNotSent)
{
    // A page whose record could not be built, and one its worker gave up on.
    for (bool bitmapLeft : {true, false}) {
        SCOPED_TRACE(bitmapLeft ? "no record" : "no bitmap");
        for (bool cancelled : {false, true}) {
            SCOPED_TRACE(cancelled ? "job cancelled" : "job running");
            gCancelJob = cancelled ? 1 : 0;
            gJobFailed = 0;
            DWORD first = (bitmapLeft ? 0 : 6) + (cancelled ? 3 : 0);
            Finish(first, 'a');
            if (bitmapLeft)
                Finish(first + 1, 'x', 0);
            else
                Lose(first + 1);
            Finish(first + 2, 'c');
            ASSERT_TRUE(WaitEmpty(first + 2));
            // The job ends cancelled either way; only a page lost while it ran is an error.
            EXPECT_EQ(gCancelJob.load(), 1);
            EXPECT_EQ(gJobFailed.load(), cancelled ? 0 : 1);
        }
    }
    EXPECT_EQ(Tags(), "acacacac");
}

TEST_F(WriterTest, ReaderWaitsForABusySlot)
{
    // Page 1 is finished but waits for page 0; page 4 needs its slot.
    Finish(1, 'b');
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.cupsWidth = h.cupsHeight = h.cupsBytesPerLine = 416;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.PageSize[0] = h.PageSize[1] = 72; // a 416-pixel square printable area at 600 dpi
    h.NumCopies = 1;
    ginheader_bak = h;
    BYTE feature[2] = {0, 0};
    DWORD page = 4;
    BOOL ok = FALSE;
    std::thread reader(
        [&] { ok = SendOnePage(ring_, &page, &h, nullptr, 0, feature, "12", 1, 595.0f, 842.0f, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(ring_[1].PageIndex, 1u) << "the reader took a busy slot";
    Finish(0, 'a'); // the writer sends pages 0 and 1 and frees the slot
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(page, 5u);
    JobInfo &slot = ring_[1];
    EXPECT_EQ(slot.PageIndex, 4u);
    for (int i = 0; i < 200 && !(slot.flag.load(std::memory_order_acquire) & JOB_IMAGE_DONE); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(slot.flag.load(std::memory_order_acquire) & JOB_IMAGE_DONE);
    pthread_join(slot.PageThreadId, nullptr);
    slot.PageThreadId = 0;
    EXPECT_EQ(Tags(), "ab");

    // Each poll of the wait logs the slot, its buffer and its flag.
    std::string log = gLogRoot.Text();
    size_t at = log.find("wait buffer index 1!\n");
    ASSERT_NE(at, std::string::npos) << log;
    std::istringstream rest(log.substr(at));
    std::string l1, l2, l3;
    std::getline(rest, l1);
    std::getline(rest, l2);
    std::getline(rest, l3);
    EXPECT_NE(l2.find("[--SendOnePage--] lpbuf = 1!"), std::string::npos) << l2;
    EXPECT_NE(l3.find("[--SendOnePage--] flag = 3!"), std::string::npos) << l3;
}
