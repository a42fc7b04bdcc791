// Shared definitions of the rasterpress filter: feature and capability bits,
// the paper table, the process-wide job state and the job-level functions of
// the driver, the PJL stream, the page ring and the spool file.
#pragma once

#include <atomic>
#include <cstdio>

#include <cups/ppd.h>
#include <cups/raster.h>

#include "pageslot.h"
#include "wintypes.h"

// ---------------------------------------------------------------------------
// DriverFeature bits (PPD attribute "DriverFeature", decimal).
enum : DWORD {
    DRVF_DISABLE_COMPRESS = 0x1,         // page data raw, compression method 0
    DRVF_BORDER_FILTER = 0x8,            // border-quality path; set per page from cupsInteger[10] bit 0
    DRVF_RMQ_MODE0 = 0x10,               // accounting tool + JSON job file feed the job header
    DRVF_RMQ_MODE1 = 0x20,               // four fixed accounting lines in the job header
    DRVF_ABORT_ON_ERROR = 0x40,          // printer errors suspend, error time-out cancels
    DRVF_DISCONNECT_DETECT = 0x80,       // stop when CUPS reports the job pending again
    DRVF_DISABLE_STATUS_MONITOR = 0x100, // IgnorePSM = 1
    DRVF_HIDDEN_WATERMARK = 0x200,       // logged only
    DRVF_ZR4_CHIP = 0x1000000,           // ZR4 controller
    DRVF_A3 = 0x2000000,                 // A3-class printer
    DRVF_PORVIK = 0x4000000,             // logged only
};

// Printer capability bits: bit n of Feature[0] is capability n, bit n of
// Feature[1] is capability 8+n.
enum {
    CAP_JBIG = 0,
    CAP_STORAGE_JOB = 1,
    CAP_QTY = 2,
    CAP_LSU = 3,
    CAP_CHECKSUM = 4,
    CAP_IMPR = 5,
    CAP_RAW_DATA = 6,
    CAP_TWO_BIT_600 = 7,
    CAP_SSL = 8,
    CAP_SW_TONERSAVE = 9,
    CAP_600_RET = 10,
    CAP_ACCOUNTING = 11,
    CAP_S3 = 12,
    CAP_1200X1200 = 13,
    CAP_DISABLE_AUTO = 14,
    CAP_COUNT = 15,
};

// Tests capability bit `cap` (a CAP_* value) in the two feature bytes.
inline bool HasCap(const BYTE *feature, int cap)
{
    return (feature[cap >> 3] >> (cap & 7)) & 1;
}

// Size of the printer's capability block (Feature[2] + Reserved[1024]).
enum { PRINTER_CAPABILITY_SIZE = 1026 };

// Engine code of a page size that is in no row of the paper table.
enum { PAPER_CODE_CUSTOM = 96 };

// ---------------------------------------------------------------------------
// Paper table: 15 rows, row numbers 1..15 are the fit-to-paper option values.
struct PAPERFORMAT {
    int16_t w;           // points
    int16_t h;           // points
    int16_t paper_type;  // engine paper code
    char paper_name[64]; // PPD page size name
    int16_t enable;      // 1 once BuildPaperList found the size in the PPD
};

enum { PAPER_FORMAT_ROWS = 15 };
extern PAPERFORMAT gPaperFormat[PAPER_FORMAT_ROWS];

// ---------------------------------------------------------------------------
// Process-wide job state. Flags written by one thread and polled by another
// are atomics: store with release, load with acquire where data hangs on them.
extern int gJobID;                         // atoi(argv[1]); set before any thread starts
extern std::atomic<int> gCancelJob;        // status thread / disconnection -> cancelled close
extern std::atomic<int> gErrorSuspend;     // status thread holds the page loop while set
extern std::atomic<int> gJbigThreadExit;   // tells the writer thread to stop
extern std::atomic<int> gStatusThreadExit; // tells the status thread to stop
extern std::atomic<int> gSaveToFile;       // the job spools (duplex or driver collation)
extern std::atomic<DWORD> gMAX_THREAD;     // ring slots in use, 1..30
extern std::atomic<DWORD> count_bytes;     // bytes on standard output, for the 512-byte rule
extern std::atomic<int> gOutputSize;       // bytes of output, for the log
extern cups_page_header2_t ginheader_bak;  // reference page header (first page, or last on A3 class)
extern FILE *stdoutPRN;                    // save-to-file copy, null when not open

// Set when a write to standard output failed: the job ends at the close.
extern std::atomic<int> gOutputFailed;
// Set by every "ERROR:" line: the job did not print as asked and the filter exits non-zero.
extern std::atomic<int> gJobFailed;

// ---------------------------------------------------------------------------
// Driver (driver*.cpp)
void term(int signum);
BOOL IsJobPending(const char *PrinterName, int JobID);
void LogTime(const char *jobID, const char *message);
void BuildPaperList(ppd_file_t *ppd);
void getFilePath();

// ---------------------------------------------------------------------------
// PJL job stream (pjl*.cpp)

// Every byte of the job goes through here; mirrored into stdoutPRN when open.
// Returns the items written to `stream` (callers may ignore it).
size_t WritePort(const void *ptr, size_t size, size_t nitems, FILE *stream);

// Copies the printer makes of each page: 1 when the pages are collated.
int PrinterCopies(const cups_page_header2_t *inheader, BOOL bDriverDoCollate);
// Page accounting for CUPS: reset at the job's start, one "PAGE:" line per page record sent.
void StartPageCount(int copiesPerPage);
void ReportPageSent();

DWORD StartJob(cups_page_header2_t *inheader, char **argv, BOOL *bDriverDoCollate, int flag, ppd_file_t *ppd,
               BOOL bCollate, int numUP, DWORD *nCopies, const BYTE *feature, DWORD DriverFeature,
               const char *DriverVersion, const char *AccountName, const char *AccountPwd,
               const char *PrinterPortName);

BOOL PJL_WriteStartJobCmd(cups_page_header2_t *inheader, int numUP, const char *PrinterName,
                          const char *szUserName, const char *szDocName, const char *szJsonFile,
                          BOOL bDriverDoCollate, const char *PrinterLocation, const BYTE *Feature,
                          DWORD DriverFeature, const char *DriverVersion, const char *AccountName,
                          const char *AccountPwd, const char *PrinterPortName);

enum { JSON_OUT_SLOTS = 7, JSON_SLOT_SIZE = 128 };
BOOL ParseJSON(const char *szJsonFileName, char outputJsonInfo[JSON_OUT_SLOTS][JSON_SLOT_SIZE]);

BOOL PJL_WriteCloseJobCmd(cups_page_header2_t *inheader, BOOL cancel);

// Page ring sizing from the first page's header and the available memory:
// every slot may hold a page as large as the larger of the first page and
// `paperPixels` (the printer's largest paper at its resolution).
DWORD RingSlotsFor(const cups_page_header2_t *inheader, unsigned long long paperPixels,
                   unsigned long long availableMemory);

// ---------------------------------------------------------------------------
// Page ring and output writer (ring.cpp)
BOOL SendOnePage(JobInfo *lpJob, DWORD *page, const cups_page_header2_t *inheader, cups_raster_t *inras,
                 DWORD DriverFeature, const BYTE *Feature, const char *jobID, int blank, float MaxMediaWidth,
                 float MaxMediaHeight, int RemoveBlankPage);
void *JbigThread(void *lpJob);
// Returns once the writer has taken its start-up view of the ring.
void WaitWriterStarted();

// Keeps freed page buffers in the heap for the next page instead of handing
// them back to the kernel (each fresh 32 MB buffer costs its page faults again).
void KeepPageBuffers();

// ---------------------------------------------------------------------------
// Duplex and collation spool file (spool.cpp)
struct SpoolRecHeader {
    DWORD pages;
    DWORD bfOffBits;
};
struct SpoolPageHeader {
    DWORD dataLen;
};
static_assert(sizeof(SpoolRecHeader) == 8, "spool file header is 8 bytes");
static_assert(sizeof(SpoolPageHeader) == 4, "spool record header is 4 bytes");

bool IsSpoolFileName(const char *name);          // a spool file name as SpoolCreate makes them
BOOL SpoolCreate();                              // creates the file; sets gSaveToFile on success
const char *SpoolFilePath();                     // the job's spool file, "" when it has none
BOOL SpoolAppend(const BYTE *record, DWORD len); // writer thread, under the semaphore
DWORD SpoolPageCount();                          // records in the file (any thread)
DWORD GetPageDataSize(DWORD index);
BOOL GetPageData(DWORD index, DWORD outBufSize, BYTE *lpOutBuf);
BOOL PJL_FlushPage(DWORD *finishpage, BOOL bDuplex);
// Sends spooled record `index` to standard output (logged under `fn`). A record
// that cannot be read back cancels the job with an "ERROR:" line: false.
bool SpoolSendRecord(DWORD index, const char *fn);
BOOL CleanFileContent(const char *filename);
BOOL WipeFileContent(int fd); // the same on an open file, which keeps its length
void SpoolClose(); // wipe, delete, release the semaphore
