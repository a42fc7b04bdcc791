// End of the job: the last back page, draining the ring, the end-of-job copies
// from the spool file, the close sequence and the clean-up.
#include "driver.h"

#include <cstdlib>
#include <unistd.h>

#include "velmora.h"

static const char kMain[] = "main";

// Stops the writer once; it finishes the record it is sending.
static void StopWriter(DriverJob &job)
{
    gJbigThreadExit.store(1, std::memory_order_release);
    if (job.writerRunning) {
        pthread_join(job.writer, nullptr);
        job.writerRunning = false;
        DbgMessage(kMain, "jbig thread stop");
    }
}

bool DriverDrain(DriverJob &job)
{
    DbgMessage(kMain, "end read CUPS data");
    gStatusThreadExit.store(1, std::memory_order_release);
    // The last sheet of a spooled duplex job needs its back side.
    if (gSaveToFile.load() && (job.page & 1) && job.bDuplex) {
        cups_page_header2_t blankHeader = ginheader_bak;
        if (!SendOnePage(job.lpJob, &job.page, &blankHeader, job.inras, job.DriverFeature, job.PrnCapInfo,
                         job.jobID, 1, job.MaxMediaWidth, job.MaxMediaHeight, 0))
            return false;
    }

    DbgMessage(kMain, "start wait image thread");
    if (job.page > 0) {
        DWORD last = (job.page - 1) % gMAX_THREAD.load();
        for (;;) {
            DWORD f = job.lpJob[last].flag.load(std::memory_order_acquire);
            DbgMessage(kMain, "page %d status %0x", (int)job.page - 1, (unsigned)f);
            if (f == 0)
                break;
            // A writer that died on an output error will never empty it.
            if (!job.writerRunning || gOutputFailed.load(std::memory_order_acquire))
                break;
            DbgMessage(kMain, "image process page %d not yet...", (int)job.page - 1);
            DbgMessage(kMain, "image process page index %d not yet...", (int)last);
            Sleep(300);
        }
    }
    DbgMessage(kMain, "end wait thread (new)");
    DbgMessage(kMain, "page = %d", (int)job.page);
    gJbigThreadExit.store(1, std::memory_order_release);
    DbgMessage(kMain, "end wait thread, gJbigThreadExit = %d", gJbigThreadExit.load());
    StopWriter(job);
    if (gCancelJob.load(std::memory_order_acquire)) {
        DbgMessage(kMain, "gCancelJob = %d", gCancelJob.load());
        return false;
    }
    if (gOutputFailed.load(std::memory_order_acquire))
        return false;
    if (gSaveToFile.load()) {
        if (!job.bDuplex)
            PJL_FlushPage(&job.FlushPage, 0);
        else if ((job.page & 1) == 0)
            PJL_FlushPage(&job.FlushPage, job.bDuplex);
    }
    DriverReplay(job);
    return true;
}

void DriverReplay(DriverJob &job)
{
    if (!gSaveToFile.load() || job.page == 0)
        return;
    DWORD pages = SpoolPageCount();
    DbgMessage(kMain, "Print Out Spool Data, Total Pages = %d", (int)pages);
    DbgMessage(kMain, "bDriverDoCollate = %d", job.bDriverDoCollate);
    DbgMessage(kMain, "bDuplex = %d", job.bDuplex);
    DWORD nPageOffset = job.bDuplex ? 2 : 1;
    DbgMessage(kMain, "nPageOffset = %d", (int)nPageOffset);
    if (!job.bDriverDoCollate)
        job.nCopies = 1;
    DbgMessage(kMain, "nCopies = %d", (int)job.nCopies);
    DWORD copies = job.nCopies > 0 ? job.nCopies - 1 : 0; // the first copy has gone out already
    // A record that cannot be read back cancels the job: nothing more goes out.
    auto sending = [] { return !gOutputFailed.load() && !gCancelJob.load(std::memory_order_acquire); };
    for (DWORD c = 0; c < copies && sending(); c++) {
        for (DWORD i = 0; i < pages && sending(); i += nPageOffset) {
            DbgMessage(kMain, "Print Out Spool Data, Pages = %d", (int)i);
            if (job.bDuplex && i + 1 < pages && !SpoolSendRecord(i + 1, kMain))
                break;
            SpoolSendRecord(i, kMain);
        }
    }
}

// Workers still running after an abort: wait for them, then free what is left in the ring.
static void ReapRing(DriverJob &job)
{
    for (int i = 0; i < MAX_RING_SLOTS; i++) {
        JobInfo &s = job.lpJob[i];
        if (s.PageThreadId) {
            pthread_join(s.PageThreadId, nullptr);
            s.PageThreadId = 0;
        }
        free(s.lpbuf);
        s.lpbuf = nullptr;
        s.flag.store(0, std::memory_order_relaxed);
    }
}

int DriverClose(DriverJob &job)
{
    StopWriter(job);
    // No page worker may outlive the ring.
    ReapRing(job);
    if (!gOutputFailed.load(std::memory_order_acquire))
        PJL_WriteCloseJobCmd(&job.inheader, gCancelJob.load(std::memory_order_acquire));
    // Taken after the close sequence: failing to write it loses the job as well.
    bool outputFailed = gOutputFailed.load(std::memory_order_acquire) != 0;
    gStatusThreadExit.store(1, std::memory_order_release);
    if (job.statusRunning) {
        pthread_join(job.status, nullptr);
        job.statusRunning = false;
        DbgMessage(kMain, "status thread stop");
    }
    cupsFreeOptions(job.num_options, job.options);
    job.options = nullptr;
    job.num_options = 0;
    if (job.inras)
        cupsRasterClose(job.inras);
    job.inras = nullptr;
    DbgMessage(kMain, "count_bytes = %d", (int)count_bytes.load());
    if (job.fd != 0)
        close(job.fd);
    if (gCancelJob.load())
        DbgMessage(kMain, "发生错误或取消作业");
    DbgMessage(kMain, "临时文件清除，覆盖1");
    if (gSaveToFile.load()) {
        SpoolClose();
        gSaveToFile.store(0);
    }
    DbgMessage(kMain, "临时文件清除，覆盖0");
    if (job.ppd)
        ppdClose(job.ppd);
    job.ppd = nullptr;
    if (gCancelJob.load())
        Sleep(5000);
    if (job.IgnorePSM == 0)
        StatusMonitorDisable(job.argv[0]);
    UnloadStatusMonitor();
    if (stdoutPRN) {
        fclose(stdoutPRN);
        stdoutPRN = nullptr;
    }
    double secs = (GetTickCount() - job.jobtick) / 1000.0;
    DbgMessage(kMain, "exit job, using %f sec", secs);
    DbgMessage(kMain, "%f PPM", secs > 0 ? job.page * 60 / secs : 0.0);
    LogTime(job.jobID, "filter out");
    if (outputFailed) {
        RasterError("Unable to send the print data");
        return 1;
    }
    return gJobFailed.load(std::memory_order_acquire) ? 1 : 0;
}
