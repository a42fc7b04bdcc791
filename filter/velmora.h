// Utility layer and image stages of the filter: Win32-named shims over POSIX,
// the debug log, and the page stages from raster input to the finished 1-bit
// bitmap (geometry, halftoning, finishing).
#pragma once

#include <cstddef>
#include <cstdint>

#include <cups/raster.h>

#include "pageslot.h"
#include "wintypes.h"

// ---------------------------------------------------------------------------
// Shims (velmora_util.cpp)
void Sleep(DWORD ms);
BOOL DeleteFile(const char *path);
void MoveMemory(void *dest, const void *src, DWORD count);
void CopyMemory(void *dest, const void *src, DWORD count);
HGLOBAL GlobalAlloc(DWORD flags, size_t size);
HGLOBAL GlobalFree(HGLOBAL mem);

// Monotonic milliseconds, 32 bits (wraps after about 49.7 days); logs its value.
DWORD GetTickCount();
// Physical memory available now, in bytes.
uint64_t getTotalSystemMemory();
// Value of the leading decimal digits; 0 when there are none.
int str2Int(const char *s);
// Bytes of one bitmap row rounded up to 4; 0 for an unknown depth.
WORD GetBMPBytesPerLine(WORD bitcolor, DWORD width);

// CUPS reads a filter's standard error into a 2048-byte buffer: a line that
// has no line feed within 2047 bytes ends there and the rest starts a line of
// its own. No line of ours, prefix and line feed included, is longer.
enum { CUPS_LINE_MAX = 2047 };

// Writes prefix and text as one line on standard error, in one write: line
// feeds and carriage returns in them become "\n" and "\r", and a line longer
// than CUPS_LINE_MAX is cut. Every line the filter writes there goes through
// here; safe in a signal handler.
void CupsLine(const char *prefix, const char *text);
// The same with the text formatted.
void CupsLinef(const char *prefix, const char *format, ...) __attribute__((format(printf, 2, 3)));

// One log line, to "/tmp/cups/printer.log" when that folder is usable,
// else as a "DEBUG:" line on standard error.
void DbgMessage(const char *funcName, const char *format, ...) __attribute__((format(printf, 2, 3)));

// An "ERROR:" line on standard error; fails the job's exit status.
void RasterError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// Raster input and page geometry (velmora_raster.cpp, velmora_geometry.cpp)

// Checks a raster page header before anything is allocated for it. On a
// header the stages cannot process safely it returns false and writes the
// reason (one line, no newline) into `why`.
bool CheckPageHeader(const cups_page_header2_t *h, char *why, size_t whyLen);

int GetCUPSPageDataEx(JobInfo *slot, int blank, DWORD *BlackDot);
int GetCUPSPageData(JobInfo *slot);
int Page_24BitProcessRedColor(JobInfo *slot);
void ImageToGray(JobInfo *slot);
void DisplayPageInfo(const cups_page_header2_t *h);

// The most pixels a page's raster may hold: the printer's largest paper
// (MaxMediaWidth x MaxMediaHeight points or an enabled row of the paper table)
// at the page's resolution, a little larger for rounding; 0 when no paper is known.
uint64_t LargestPaperPixels(const cups_page_header2_t *h, float MaxMediaWidth, float MaxMediaHeight);

// Checks what a page costs before it is read, against the printer's largest
// paper: the raster may hold no more than LargestPaperPixels, and the canvas
// ImageCrop would make (the page's printable area at its resolution) may be as
// large as a page of that paper, or up to 4 times the raster and 4 such pages.
// A raster that says it is a far larger page than it holds, or a compressed
// one that unpacks to more than any paper, would cost gigabytes before the
// page is scaled down to the paper: false, with the reason (one line) in `why`.
bool CheckPageCanvas(const cups_page_header2_t *h, float MaxMediaWidth, float MaxMediaHeight, char *why,
                     size_t whyLen);

void ImageCrop(JobInfo *slot);
BOOL DoScaling(JobInfo *slot);
DWORD ScaleImage(const BYTE *srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE *trglpbuf,
                 DWORD trgWidth, int Xratio, int Yratio, WORD colorbits);
int DoWholePage(JobInfo *slot);

// ---------------------------------------------------------------------------
// Image worker and halftoning (velmora_worker.cpp, velmora_halftone.cpp)
void *ImageProcThread(void *slot);
int ApplyHalftone(JobInfo *slot);
int DoBorderQuality(JobInfo *slot);
int ApplyFilter3x3(JobInfo *slot, BYTE *buf, int bits, const int *filterArray, int filterArrayWidth);
int GrayToLineart(JobInfo *slot, BYTE *buf, int threshold);

// Gamma exponents by gamma choice (density 0..9; toner saving uses 2).
extern const float gammaVal[10];
// The 3 x 3 kernel of the border-quality path.
extern const int FilterOutsideBorder[9];

// The halftone choice of a page: matrix type 0..8 and its exponent offset.
int SelectHalftoneType(const JobInfo *slot);
float HalftoneFixVal(int type, const JobInfo *slot);
// Gamma choice of a page: 2 with toner saving, else the density clamped to 0..9.
int GammaChoice(const cups_page_header2_t *h);
// Builds the 256-entry gamma table for exponent g.
void BuildGammaTable(float g, BYTE table[256]);

// Threshold matrices (halftone_matrices.cpp, generated by tools/gen_matrices.py).
struct HalftoneMatrix {
    const char *name;
    int size; // rows = columns
    const BYTE *cells;
};
// Matrix of halftone type 0..8.
const HalftoneMatrix &HalftoneMatrixFor(int type);

// ---------------------------------------------------------------------------
// Bitmap finishing (velmora_finish.cpp)
extern const BYTE dottbl[256];

void DoNegative(JobInfo *slot, int InvertHalfImage);
void DoMirror(JobInfo *slot);
void Transpose_1BPP180(BYTE *bitmap, DWORD widthBytes, DWORD height);
void MISC_1BPP90(const BYTE *src, BYTE *dst, DWORD srcstep, DWORD dststep, DWORD srcW, DWORD srcH);
BYTE *Prnt_AdjustData(const BYTE *data, DWORD len);
void Prnt_SimulateTonerSaving(JobInfo *slot);
DWORD Prnt_CountBlackDots(const BYTE *data, DWORD bytes);
