// The page ring: the reader hands each page to a slot and starts its worker;
// one writer thread takes finished slots strictly in page order.
//
// Slot ownership passes through `flag`: the reader fills only an empty slot,
// the worker publishes JOB_IMAGE_DONE (release) after every other field, the
// writer acquires it, sends, clears lpbuf and then flag (release).
#include "rasterpress.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "header_word.h"
#include "pagerecord.h"
#include "velmora.h"

static void WaitSlotFree(JobInfo *slot, DWORD index)
{
    for (;;) {
        DWORD f = slot->flag.load(std::memory_order_acquire);
        if (!(f & (JOB_FILLED | JOB_IMAGE_DONE)))
            return;
        DbgMessage("SendOnePage", "wait buffer index %d!", (int)index);
        // The buffer is the worker's or the writer's while the slot is busy: whether
        // the slot holds one is read from its flag, never from the pointer itself.
        DbgMessage("SendOnePage", "lpbuf = %d!", (f & (JOB_FILLED | JOB_IMAGE_DONE)) ? 1 : 0);
        DbgMessage("SendOnePage", "flag = %d!", (int)f);
        Sleep(300);
    }
}

BOOL SendOnePage(JobInfo *lpJob, DWORD *page, const cups_page_header2_t *inheader, cups_raster_t *inras,
                 DWORD DriverFeature, const BYTE *Feature, const char *jobID, int blank, float MaxMediaWidth,
                 float MaxMediaHeight, int RemoveBlankPage)
{
    static const char fn[] = "SendOnePage";
    DbgMessage(fn, "In, RemoveBlankPage = %d", RemoveBlankPage);
    int paper =
        (DriverFeature & DRVF_A3) ? GetPaperSizeCode(inheader, 1) : GetPaperSizeCode(&ginheader_bak, 0);
    DWORD index = *page % gMAX_THREAD.load(std::memory_order_acquire);
    DbgMessage(fn, "start page %d / index %d!", (int)*page, (int)index);
    JobInfo *slot = &lpJob[index];
    WaitSlotFree(slot, index);
    DbgMessage(fn, "using buffer index %d!", (int)index);

    // The slot's previous worker has published its page and is ending: reap it.
    if (slot->PageThreadId) {
        pthread_join(slot->PageThreadId, nullptr);
        slot->PageThreadId = 0;
    }
    DbgMessage(fn, "end search buffer index %d!", (int)index);
    DbgMessage(fn, "MaxMediaWidth = %f", MaxMediaWidth);
    DbgMessage(fn, "MaxMediaHeight = %f", MaxMediaHeight);
    snprintf(slot->jobID, sizeof slot->jobID, "%s", jobID ? jobID : "");
    slot->PageIndex = *page;
    slot->inras = inras;
    slot->inheader = *inheader;
    slot->MaxMediaWidth = MaxMediaWidth;
    slot->MaxMediaHeight = MaxMediaHeight;
    slot->lpbuf = nullptr;
    slot->page_width = slot->page_height = slot->linebyte = slot->pagesize = 0;
    slot->linebyteLeft = 0;
    slot->writebytes = slot->CompressSize = slot->blackDots = slot->outLen = 0;
    slot->flag.fetch_or(JOB_FILLED, std::memory_order_relaxed);
    slot->DriverFeature = DriverFeature;
    slot->Rotate90 = (paper >> 7) & 1;
    slot->Feature[0] = Feature[0];
    slot->Feature[1] = Feature[1];
    slot->SCALE1200 = HasCap(Feature, CAP_1200X1200) ? 0 : 1;

    DbgMessage(fn, "GetCUPSPageData start");
    DWORD BlackDot = 0;
    if (!GetCUPSPageDataEx(slot, blank, &BlackDot)) {
        DbgMessage(fn, "GetCUPSPageData fail!");
        return FALSE;
    }
    slot->linebyteLeft = slot->page_width > inheader->cupsWidth ? slot->page_width - inheader->cupsWidth : 0;

    if (!blank && HeaderWord(inheader->Duplex) && RemoveBlankPage) {
        DbgMessage(fn, "Black dot = %d", (int)BlackDot);
        DbgMessage(fn, "page = %d", (int)*page);
        if (BlackDot == 0) {
            DropPage(slot);
            slot->flag.store(0, std::memory_order_release);
            DbgMessage(fn, "skip blank page");
            LogTime(jobID, "page done");
            DbgMessage(fn, "Out");
            return TRUE;
        }
    }

    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, ImageProcThread, slot);
    if (rc != 0) {
        DbgMessage(fn, "pthread_create fail, rc = %d", rc);
        RasterError("Unable to start the page worker");
        return FALSE;
    }
    slot->PageThreadId = tid;
    DbgMessage(fn, "pthread_create, page thread id = %d", (int)(*page));
    *page += 1;
    LogTime(jobID, "page done");
    DbgMessage(fn, "Out");
    return TRUE;
}

static std::atomic<int> gWriterReady{0};

void WaitWriterStarted()
{
    // Takes the writer's token, so the next writer started has to give its own.
    while (!gWriterReady.exchange(0, std::memory_order_acq_rel))
        usleep(1000);
}

void *JbigThread(void *arg)
{
    static const char fn[] = "JbigThread";
    JobInfo *lpJob = static_cast<JobInfo *>(arg);
    DWORD start = GetTickCount();
    for (int i = 0; i < MAX_RING_SLOTS; i++) {
        DbgMessage(fn, "[%d]flag = %0x", i, (unsigned)lpJob[i].flag.load(std::memory_order_acquire));
        DbgMessage(fn, "[%d]PageIndex = %d", i, (int)lpJob[i].PageIndex);
    }
    // The driver fills no slot before this start-up record is taken.
    gWriterReady.store(1, std::memory_order_release);
    DWORD CurrentPage = 0;
    while (!gJbigThreadExit.load(std::memory_order_acquire)) {
        DbgMessage(fn, "gJbigThreadExit = %d", gJbigThreadExit.load());
        DWORD index = CurrentPage % gMAX_THREAD.load(std::memory_order_acquire);
        DbgMessage(fn, "check buffer index = %d, CurrentPage = %d", (int)index, (int)CurrentPage);
        JobInfo *slot = &lpJob[index];
        DWORD f = slot->flag.load(std::memory_order_acquire);
        DbgMessage(fn, "flag = %0x", (unsigned)f);
        if (!(f & JOB_IMAGE_DONE) || slot->PageIndex != CurrentPage) {
            Sleep(300);
            continue;
        }
        // Two-plane pages get their record here, unless their worker has lost them.
        if (TwoPlane(slot) && slot->lpbuf)
            ImageCompress(slot);
        if (slot->lpbuf && slot->outLen != 0) {
            DWORD len = slot->outLen + PAGE_RECORD_HEAD;
            DbgMessage(fn, "page data outsize = %d", (int)len);
            PJL_WritePageHeader(slot, slot->lpbuf + 2, slot->CompressSize, slot->blackDots);
            if (gSaveToFile.load(std::memory_order_acquire)) {
                SpoolAppend(slot->lpbuf, len);
            } else {
                WritePort(slot->lpbuf, 1, len, stdout);
                ReportPageSent();
                count_bytes += len;
                DbgMessage(fn, "count_bytes = %d", (int)count_bytes.load());
            }
            gOutputSize += (int)len;
            DbgMessage(fn, "gOutputSize = %d", gOutputSize.load());
        } else if (gCancelJob.load(std::memory_order_acquire)) {
            // A stage that saw the cancel gives up its page: the job is ending anyway.
            DbgMessage(fn, "page %d has no record, job cancelled", (int)CurrentPage);
        } else {
            // The page could not be prepared: the job cannot be printed whole.
            DbgMessage(fn, "page %d has no record", (int)CurrentPage);
            RasterError("Page %u could not be prepared", (unsigned)CurrentPage + 1);
            gCancelJob.store(1, std::memory_order_release);
        }
        DbgMessage(fn, "free index %d memory", (int)index);
        free(slot->lpbuf);
        slot->lpbuf = nullptr;
        slot->flag.store(0, std::memory_order_release);
        CurrentPage += 1;
    }
    DbgMessage(fn, "exit jbig thread, using %f sec", (GetTickCount() - start) / 1000.0);
    DbgMessage(fn, "exit print out %d pages", (int)CurrentPage);
    return nullptr;
}
