// The image worker thread: a page from 8-bit gray to its page record, the
// finishing steps it applies, and the slot marked done on every road.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <pthread.h>

#include "pagerecord.h"
#include "stage_fixtures.h"

namespace {

void RunWorker(JobInfo *slot)
{
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, ImageProcThread, slot), 0);
    ASSERT_EQ(pthread_join(t, nullptr), 0);
    EXPECT_TRUE(slot->flag.load(std::memory_order_acquire) & JOB_IMAGE_DONE);
}

void SetCap(JobInfo *s, int cap)
{
    s->Feature[cap >> 3] |= static_cast<BYTE>(1u << (cap & 7));
}

// A raw (uncompressed) record makes the finished bitmap readable.
void RawRecords(JobInfo *s)
{
    s->DriverFeature |= DRVF_DISABLE_COMPRESS;
}

int RecordBit(const JobInfo *s, DWORD x, DWORD y)
{
    const BYTE *bm = s->lpbuf + PAGE_RECORD_HEAD;
    return (bm[y * s->linebyte + x / 8] >> (7 - x % 8)) & 1;
}

} // namespace

TEST(Worker, TurnsGrayPageIntoRecordWithBlackAsOne)
{
    TestSlot s(64, 64, 0xFF, 600);
    for (DWORD y = 0; y < 8; ++y)
        memset(s->lpbuf + y * 64, 0, 16); // black 16 x 8 block at the top left
    s->flag = JOB_FILLED | JOB_PASS1_DONE;
    RawRecords(s.get());
    RunWorker(s.get());
    ASSERT_EQ(s->lpbuf[0], 0x1B);
    ASSERT_EQ(s->lpbuf[1], 0x45);
    EXPECT_EQ(s->outLen, 64u * 64u / 8u);
    EXPECT_EQ(s->blackDots, 128u);
    EXPECT_EQ(RecordBit(s.get(), 0, 0), 1);
    EXPECT_EQ(RecordBit(s.get(), 15, 7), 1);
    EXPECT_EQ(RecordBit(s.get(), 16, 0), 0);
}

TEST(Worker, FinishingStepsByPageSettings)
{
    struct Case {
        const char *name;
        void (*setup)(JobInfo *);
        DWORD wantW, wantH;
        DWORD bx, by; // where the top-left black pixel ends up
    } cases[] = {
        {"plain", [](JobInfo *) {}, 64, 32, 0, 0},
        {"mirror", [](JobInfo *s) { s->inheader.cupsInteger[2] = 1; }, 64, 32, 63, 0},
        {"back side on a ZR4 duplex printer",
         [](JobInfo *s) {
             s->DriverFeature |= DRVF_ZR4_CHIP;
             s->PageIndex = 1;
             s->inheader.Duplex = CUPS_TRUE;
         },
         64, 32, 63, 31},
        {"long-edge feed", [](JobInfo *s) { s->Rotate90 = 1; }, 32, 64, 31, 0},
        {"two-bit 600",
         [](JobInfo *s) {
             SetCap(s, CAP_TWO_BIT_600);
             s->inheader.cupsInteger[8] = 2;
         },
         128, 32, 0, 0},
    };
    for (const Case &c : cases) {
        TestSlot s(64, 32, 0xFF, 600);
        s.at(0, 0) = 0;
        s->flag = JOB_FILLED | JOB_PASS1_DONE;
        RawRecords(s.get());
        c.setup(s.get());
        RunWorker(s.get());
        ASSERT_EQ(s->lpbuf[0], 0x1B) << c.name;
        EXPECT_EQ(s->page_width, c.wantW) << c.name;
        EXPECT_EQ(s->page_height, c.wantH) << c.name;
        EXPECT_EQ(RecordBit(s.get(), c.bx, c.by), 1) << c.name;
        EXPECT_EQ(s->blackDots, 1u) << c.name;
    }
    // Invert: everything but that pixel is black.
    TestSlot s(64, 32, 0xFF, 600);
    s.at(0, 0) = 0;
    s->flag = JOB_FILLED | JOB_PASS1_DONE;
    s->inheader.cupsInteger[1] = 1;
    RawRecords(s.get());
    RunWorker(s.get());
    EXPECT_EQ(s->blackDots, 64u * 32u - 1u);
    EXPECT_EQ(RecordBit(s.get(), 0, 0), 0);
}

TEST(Worker, RunsPassOneWhenTheReaderDidNot)
{
    // A 300 dpi page the reader left alone: the worker scales it to 600 dpi itself.
    TestSlot s(64, 32, 0x00, 300);
    s->inheader.ImagingBoundingBox[0] = 1; // no cut
    s->inheader.PageSize[0] = s->inheader.PageSize[1] = 60;
    ginheader_bak = s->inheader;
    s->flag = JOB_FILLED;
    RawRecords(s.get());
    RunWorker(s.get());
    // Doubled to 128 x 64, then placed on the 600 dpi canvas of a 60 pt page: 300 -> 320 square.
    EXPECT_EQ(s->page_width, 320u);
    EXPECT_EQ(s->page_height, 320u);
    EXPECT_EQ(s->blackDots, 128u * 64u);
}

TEST(Worker, TwoPlanePageIsLeftAsBitmapForTheWriter)
{
    TestSlot s(32, 64, 0xFF, 600);
    s->inheader.cupsInteger[4] = 1;
    s.at(1, 1) = 0;       // black plane
    s.at(5, 32 + 3) = 0;  // red plane
    s->flag = JOB_FILLED | JOB_PASS1_DONE;
    s->inheader.cupsInteger[1] = 1; // invert touches the black plane only
    RunWorker(s.get());
    EXPECT_EQ(s->linebyte, 4u);
    EXPECT_EQ(s.bit(1, 1), 0);
    EXPECT_EQ(s.bit(0, 0), 1);
    EXPECT_EQ(s.bit(5, 35), 1);
    EXPECT_EQ(s.bit(4, 35), 0);
}

TEST(Worker, FailedPageLeavesNoRecordAndSlotIsDone)
{
    // A cancel seen by the halftone fails the page: neither the half-made bitmap
    // nor anything in its place is left for the writer, and the slot is done.
    TestSlot s(64, 32, 0x00, 600);
    s->flag = JOB_FILLED | JOB_PASS1_DONE;
    RawRecords(s.get());
    gCancelJob = 1;
    RunWorker(s.get());
    gCancelJob = 0;
    EXPECT_TRUE(s->flag.load() & JOB_IMAGE_DONE);
    EXPECT_EQ(s->lpbuf, nullptr);
    EXPECT_EQ(s->outLen, 0u);
}

TEST(Worker, PagesRunInParallelOnTheirOwnSlots)
{
    const int n = 8;
    std::vector<std::unique_ptr<TestSlot>> slots;
    std::vector<pthread_t> threads(n);
    for (int i = 0; i < n; ++i) {
        slots.emplace_back(new TestSlot(256, 256, static_cast<BYTE>(i * 30), 600));
        (*slots.back())->flag = JOB_FILLED | JOB_PASS1_DONE;
        (*slots.back())->PageIndex = i;
        ASSERT_EQ(pthread_create(&threads[i], nullptr, ImageProcThread, slots.back()->get()), 0);
    }
    // The writer's view: poll the flag, then read the record.
    for (int i = 0; i < n; ++i) {
        JobInfo *s = slots[i]->get();
        while (!(s->flag.load(std::memory_order_acquire) & JOB_IMAGE_DONE))
            Sleep(1);
        EXPECT_EQ(s->lpbuf[0], 0x1B);
        EXPECT_GT(s->outLen, 0u);
    }
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
}
