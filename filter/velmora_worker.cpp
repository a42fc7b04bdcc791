// The image worker: one thread per page, from the 8-bit page to the finished
// page record (or none, when a stage failed), always ending with the slot
// marked done.
#include "velmora.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "header_word.h"
#include "pagerecord.h"
#include "rasterpress.h"

namespace {

const char fn[] = "ImageProcThread";

bool TwoBit(const JobInfo *slot)
{
    return HasCap(slot->Feature, CAP_TWO_BIT_600) && slot->inheader.cupsInteger[8] == 2;
}

// Turns the 1-bit page 90 degrees clockwise; each plane by itself, so the two
// planes stay stacked.
bool Rotate(JobInfo *slot)
{
    const DWORD planes = TwoPlane(slot) ? 2 : 1;
    const DWORD planeH = slot->page_height / planes;
    const DWORD dststep = (planeH + 7) / 8;
    const size_t planeOut = static_cast<size_t>(slot->page_width) * dststep;
    BYTE *out = static_cast<BYTE *>(calloc(planeOut * planes, 1));
    if (!out)
        return false;
    for (DWORD p = 0; p < planes; ++p)
        MISC_1BPP90(slot->lpbuf + static_cast<size_t>(p) * planeH * slot->linebyte, out + p * planeOut,
                    slot->linebyte, dststep, slot->page_width, planeH);
    free(slot->lpbuf);
    slot->lpbuf = out;
    DWORD oldWidth = slot->page_width;
    slot->page_width = planeH;
    slot->page_height = oldWidth * planes;
    slot->linebyte = dststep;
    slot->pagesize = static_cast<DWORD>(planeOut * planes);
    return true;
}

// Steps 2 to 9; false when a stage failed.
bool Process(JobInfo *slot)
{
    const cups_page_header2_t &h = slot->inheader;
    if (slot->flag.load(std::memory_order_acquire) & JOB_PASS1_DONE) {
        DbgMessage(fn, "pass 1 those process!");
    } else {
        ImageCrop(slot);
        if (!DoScaling(slot)) {
            DbgMessage(fn, "DoScaling fail!");
            return false;
        }
        if (!DoWholePage(slot)) {
            DbgMessage(fn, "DoWholePage fail!");
            return false;
        }
    }

    if (!(slot->flag.load(std::memory_order_acquire) & JOB_PASS2_DONE)) {
        if (slot->DriverFeature & DRVF_BORDER_FILTER) {
            if (!DoBorderQuality(slot)) {
                DbgMessage(fn, "DoBorderQuality fail!");
                return false;
            }
        } else if (!ApplyHalftone(slot)) {
            DbgMessage(fn, "ApplyHalftone fail!");
            return false;
        }
    }
    DoNegative(slot, 0);

    const bool twoPlane = TwoPlane(slot);
    DbgMessage(fn, "Tumble = %d", HeaderWord(h.Tumble));
    if ((slot->DriverFeature & DRVF_ZR4_CHIP) && !HasCap(slot->Feature, CAP_IMPR) && (slot->PageIndex & 1) &&
        HeaderWord(h.Duplex) && !HeaderWord(h.Tumble)) {
        // The back of a sheet comes out of the duplexer upside down.
        DWORD planes = twoPlane ? 2 : 1;
        DWORD planeH = slot->page_height / planes;
        for (DWORD p = 0; p < planes; ++p)
            Transpose_1BPP180(slot->lpbuf + static_cast<size_t>(p) * planeH * (slot->page_width / 8),
                              slot->page_width / 8, planeH);
    }
    if (h.cupsInteger[2])
        DoMirror(slot);
    if (h.cupsInteger[1])
        DoNegative(slot, twoPlane ? 1 : 0);
    if (slot->Rotate90 && !Rotate(slot)) {
        DbgMessage(fn, "rotate fail!");
        return false;
    }
    if (TwoBit(slot)) {
        BYTE *two = Prnt_AdjustData(slot->lpbuf, slot->pagesize);
        if (!two) {
            DbgMessage(fn, "Prnt_AdjustData fail!");
            return false;
        }
        free(slot->lpbuf);
        slot->lpbuf = two;
        slot->page_width *= 2;
        slot->linebyte = slot->page_width / 8;
        slot->pagesize = slot->page_height * slot->linebyte;
        DbgMessage(fn, "page_width = %d", static_cast<int>(slot->page_width));
        DbgMessage(fn, "linebyte = %d", static_cast<int>(slot->linebyte));
    }
    if (!twoPlane && !ImageCompress(slot)) {
        DbgMessage(fn, "ImageCompress fail!");
        return false;
    }
    return true;
}

} // namespace

void *ImageProcThread(void *arg)
{
    JobInfo *slot = static_cast<JobInfo *>(arg);
    DbgMessage(fn, "image process thread page %d start", static_cast<int>(slot->PageIndex));
    DisplayPageInfo(&slot->inheader);
    DbgMessage(fn, "cupsBitsPerPixel %d", static_cast<int>(slot->inheader.cupsBitsPerPixel));
    DbgMessage(fn, "BorderProc = %d", (slot->DriverFeature & DRVF_BORDER_FILTER) ? 1 : 0);

    if (!Process(slot)) {
        // No bitmap and no record are left: the writer ends the job with an error
        // for the page instead of sending anything in its place.
        DbgMessage(fn, "page %d could not be prepared", static_cast<int>(slot->PageIndex));
        DropPage(slot);
    }

    DWORD page = slot->PageIndex;
    // Last touch of the slot: from here on it belongs to the writer.
    slot->flag.fetch_or(JOB_IMAGE_DONE, std::memory_order_release);
    DbgMessage(fn, "exit image process thread page %d", static_cast<int>(page));
    pthread_exit(nullptr);
}
