// The page loop: per page the error wait, the scaling rules, the job start on
// the first page, and the hand-over to the ring and the spool flush.
#include "driver.h"

#include <cstring>
#include <string>

#include "header_word.h"
#include "pagerecord.h"
#include "velmora.h"

static const char kMain[] = "main";

// A page header the stages cannot handle safely ends the job at the close.
static bool PageAcceptable(DriverJob &job, const cups_page_header2_t &h)
{
    // No document page is larger than 200 inches a side; such a header is corrupt.
    enum { kMaxPagePoints = 14400 };
    char why[256] = {0};
    if (h.PageSize[0] > kMaxPagePoints || h.PageSize[1] > kMaxPagePoints)
        snprintf(why, sizeof why, "Raster page size %u x %u points is out of range", h.PageSize[0],
                 h.PageSize[1]);
    else if (CheckPageHeader(&h, why, sizeof why) &&
             CheckPageCanvas(&h, job.MaxMediaWidth, job.MaxMediaHeight, why, sizeof why))
        return true;
    RasterError("Page %u refused: %s", (unsigned)job.CUPSpages + 1, why);
    DbgMessage(kMain, "page header refused: %s", why);
    return false;
}

bool DriverPageLoop(DriverJob &job)
{
    char **argv = job.argv;
    cups_page_header2_t &inheader = job.inheader;
    while (job.inras && RasterReadHeader(job.rasterIn, job.inras, &inheader)) {
        DbgMessage(kMain, "Start Page = %d / Copies = %d", (int)job.page, (int)inheader.NumCopies);
        if (!PageAcceptable(job, inheader))
            return false;

        // a. Hold while the printer reports an error.
        do {
            Sleep(1000);
            DbgMessage(kMain, "gErrorSuspend = %d", gErrorSuspend.load());
        } while (gErrorSuspend.load(std::memory_order_acquire));
        int RemoveBlankPage = 0;

        // b-f. Scaling.
        bool PrinterA3 = (job.DriverFeature & DRVF_A3) != 0;
        ApplyPageScaling(&inheader, job.page > 0 ? &ginheader_bak : nullptr, PrinterA3, &job.MaxMediaWidth,
                         &job.MaxMediaHeight);
        if (!PageAcceptable(job, inheader))
            return false;

        // g. On A3-class printers a size change inside a duplex job starts a new sheet.
        if (PrinterA3 && gSaveToFile.load() && job.bDuplex && (job.page & 1) &&
            (ginheader_bak.PageSize[0] != inheader.PageSize[0] ||
             ginheader_bak.PageSize[1] != inheader.PageSize[1])) {
            DbgMessage(kMain, "Add blank page %d", (int)job.page);
            cups_page_header2_t blankHeader = ginheader_bak;
            if (!SendOnePage(job.lpJob, &job.page, &blankHeader, job.inras, job.DriverFeature, job.PrnCapInfo,
                             job.jobID, 1, job.MaxMediaWidth, job.MaxMediaHeight, 0))
                return false;
            DbgMessage(kMain, "page = %d", (int)job.page);
            RemoveBlankPage = 1;
        }

        // h. Accounting dialog on the first page.
        if (job.page == 0 && inheader.cupsInteger[11] != 0 && job.SelectPrnter >= 0) {
            AccountingDlg(job.myPrinters[job.SelectPrnter].PrinterName, (int)inheader.cupsInteger[11],
                          job.AccountName, job.AccountPwd);
            DbgMessage(kMain, "AccountName %s!", job.AccountName);
            DbgMessage(kMain, "AccountPwd %s!", job.AccountPwd[0] ? "***" : ""); // no password in the log
        }

        // i. The reference page.
        DbgMessage(kMain, "Orientation %d!", (int)HeaderWord(inheader.Orientation));
        if (PrinterA3 || job.page == 0)
            ginheader_bak = inheader;

        // j. Abort on error: a cancel ends the job now, without draining.
        if ((job.DriverFeature & DRVF_ABORT_ON_ERROR) && gCancelJob.load(std::memory_order_acquire))
            return false;

        // k. Border filter per page from the quality option.
        if (inheader.cupsInteger[10] & 1)
            job.DriverFeature |= DRVF_BORDER_FILTER;
        else
            job.DriverFeature &= ~(DWORD)DRVF_BORDER_FILTER;
        DbgMessage(kMain, "DriverFeature %0x", (unsigned)job.DriverFeature);

        // l. Job header with the first page.
        if (!job.jobStarted) {
            job.jobStarted = TRUE;
            count_bytes += StartJob(&inheader, argv, &job.bDriverDoCollate, 0, job.ppd, job.bCollate,
                                    job.numUP, &job.nCopies, job.PrnCapInfo, job.DriverFeature,
                                    job.DriverVersion, job.AccountName, job.AccountPwd, job.PrinterPortName);
            // Taken after the job header: the accounting answer may turn duplex on or off
            // or choose the binding edge, and the sheets must then be paired (or not) and
            // turned (or not) as the printer was told.
            job.bDuplex = HeaderWord(inheader.Duplex) ? TRUE : FALSE;
            job.bTumble = HeaderWord(inheader.Tumble) ? TRUE : FALSE;
            // The ring's depth, once: its slots hold later pages too, as large as the paper allows.
            gMAX_THREAD.store(
                RingSlotsFor(&inheader, LargestPaperPixels(&inheader, job.MaxMediaWidth, job.MaxMediaHeight),
                             getTotalSystemMemory()),
                std::memory_order_release);
        }
        // Those decisions hold for every page, whatever its own header says, so the
        // back-page turn and the blank-page drop follow the pairing and the binding.
        inheader.Duplex = job.bDuplex ? CUPS_TRUE : CUPS_FALSE;
        inheader.Tumble = job.bTumble ? CUPS_TRUE : CUPS_FALSE;
        ginheader_bak.Duplex = inheader.Duplex;
        ginheader_bak.Tumble = inheader.Tumble;

        // m. Cancelled meanwhile.
        if (gCancelJob.load(std::memory_order_acquire)) {
            DbgMessage(kMain, "stop print!");
            return true;
        }

        // n. A job that CUPS holds again was disconnected from the printer.
        if (job.DriverFeature & DRVF_DISCONNECT_DETECT) {
            DbgMessage(kMain, "disconnection support");
            DbgMessage(kMain, "disconnection, page = %d", (int)job.page);
            DbgMessage(kMain, "disconnection, JobPending = %d", job.JobPending);
            if (job.page > 0 && (job.page % 2) == 0 && !job.JobPending && IsJobPending(argv[0], gJobID)) {
                DbgMessage(kMain, "disconnection, stop print!");
                gCancelJob.store(1, std::memory_order_release);
                return true;
            }
        }

        // o. Into the ring.
        cups_page_header2_t pageHeader = inheader;
        if (!SendOnePage(job.lpJob, &job.page, &pageHeader, job.inras, job.DriverFeature, job.PrnCapInfo,
                         job.jobID, 0, job.MaxMediaWidth, job.MaxMediaHeight, RemoveBlankPage)) {
            RasterError("Unable to read page %u", (unsigned)job.CUPSpages + 1);
                    return false;
        }
        DbgMessage(kMain, "page = %d", (int)job.page);
        if (gSaveToFile.load(std::memory_order_acquire)) {
            if (!job.bDuplex)
                PJL_FlushPage(&job.FlushPage, 0);
            else if ((SpoolPageCount() & 1) == 0)
                PJL_FlushPage(&job.FlushPage, job.bDuplex);
        }
        job.CUPSpages++;
        DbgMessage(kMain, "CUPSpages = %d", (int)job.CUPSpages);
        if (gOutputFailed.load(std::memory_order_acquire))
            return false;
    }
    // The input must end where a page header would start; anything else is a broken stream.
    std::string problem = RasterEndProblem(job.rasterIn);
    if (!problem.empty()) {
        RasterError("%s", problem.c_str());
        DbgMessage(kMain, "raster input: %s", problem.c_str());
            return false;
    }
    return true;
}
