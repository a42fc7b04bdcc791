// The page slot: one page on its way from the raster reader through its image
// worker to the ordered writer.
#pragma once

#include <atomic>
#include <cstdlib>
#include <pthread.h>

#include <cups/raster.h>

#include "wintypes.h"

// Slot state bits in JobInfo::flag.
enum : DWORD {
    JOB_FILLED = 0x1,     // the slot holds a page
    JOB_IMAGE_DONE = 0x2, // the worker is done: the record is complete, or absent for a lost page
    JOB_PASS1_DONE = 0x4, // crop, scale and whole-page placement already done by the reader
    JOB_PASS2_DONE = 0x8, // the worker skips halftoning
};

enum { MAX_RING_SLOTS = 30 };

// In-memory only (never written anywhere), so the fields keep their natural
// alignment: flag is a real atomic. Ownership of the other fields passes with it:
// store with release after the fields are final, load with acquire before use.
struct JobInfo {
    DWORD PageIndex;
    char jobID[260];
    cups_raster_t *inras;
    cups_page_header2_t inheader;
    BYTE *lpbuf; // owned by whoever the flag bits say; test flag (acquire) before reading it
    DWORD page_width;
    DWORD page_height;
    DWORD linebyte;
    DWORD pagesize;
    DWORD linebyteLeft;
    std::atomic<DWORD> flag;
    pthread_t PageThreadId;
    DWORD writebytes;
    float MaxMediaWidth;
    float MaxMediaHeight;
    DWORD DriverFeature;
    DWORD CompressSize;
    DWORD blackDots;
    DWORD outLen;
    BYTE Feature[2];
    int SCALE1200;
    int Rotate90;
};

// Red-and-black pages hold two planes of the same size, the black one first.
inline bool TwoPlane(const JobInfo *slot)
{
    return slot->inheader.cupsInteger[4] == 1;
}

// Gives up the page in a slot: no bitmap and no record are left.
inline void DropPage(JobInfo *slot)
{
    free(slot->lpbuf);
    slot->lpbuf = nullptr;
    slot->outLen = 0;
    slot->CompressSize = 0;
    slot->blackDots = 0;
}
