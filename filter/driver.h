// The job driver's state and its stages, called in order by RunFilter and
// one by one by the tests.
#pragma once

#include <pthread.h>

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include "raster_input.h"
#include "rasterpress.h"
#include "statusmonitor.h"

struct DriverJob {
    // Arguments and PPD
    int argc = 0;
    char **argv = nullptr;
    int fd = 0;
    cups_raster_t *inras = nullptr;
    RasterInput rasterIn;
    ppd_file_t *ppd = nullptr;
    int num_options = 0;
    cups_option_t *options = nullptr;
    float MaxMediaWidth = 595.0f;
    float MaxMediaHeight = 842.0f;
    char DriverVersion[128] = {0};
    char Toolfd[128] = {0};
    DWORD DriverFeature = 0;

    // Job state
    DWORD page = 0;
    DWORD FlushPage = 0;
    DWORD CUPSpages = 0;
    int numUP = 1;
    BOOL bCollate = FALSE;
    BOOL bDriverDoCollate = FALSE;
    DWORD nCopies = 1;
    BOOL bDuplex = FALSE;
    BOOL bTumble = FALSE; // short-edge binding: no back-page turn
    BOOL JobPending = FALSE;
    BOOL jobStarted = FALSE;
    int IgnorePSM = 0;
    int IsPSM_Exist = 0;
    int printerNumber = 0;
    int SelectPrnter = -1;
    PrinterAttribute myPrinters[MAX_SM_PRINTERS] = {};
    BYTE PrnCapInfo[PRINTER_CAPABILITY_SIZE] = {0};
    char PrinterPortName[128] = {0};
    char AccountName[128] = {0};
    char AccountPwd[128] = {0};
    char jobID[260] = {0};
    DWORD jobtick = 0;
    cups_page_header2_t inheader = {};

    // Threads
    JobInfo lpJob[MAX_RING_SLOTS];
    pthread_t writer{};
    bool writerRunning = false;
    pthread_t status{};
    bool statusRunning = false;
    StatusThreadInfo PSM_info = {};
};

enum DriverExit { DRIVER_CONTINUE = -1 };

// Whole run; the process exit status.
int RunFilter(int argc, char **argv);

// Steps of the run (each logs under "main").
int DriverStartArgs(DriverJob &job, int argc,
                    char **argv); // usage and raster input; exit status or DRIVER_CONTINUE
void DriverReadPpd(DriverJob &job);
void DriverReadOptions(DriverJob &job);
bool DriverSetup(DriverJob &job); // ring, destination, writer, status monitor, capabilities, status thread;
                                  // false: the job cannot run (continue at the close)
bool DriverPageLoop(DriverJob &job); // false: continue at the close at once
bool DriverDrain(DriverJob &job);    // false: continue at the close (cancelled or failed)
void DriverReplay(DriverJob &job);
int DriverClose(DriverJob &job); // exit status

// Page scaling for one page header (steps b to f of the page loop): updates
// cupsInteger[7] and, for fit to paper, PageSize; MW, MH become the A4 size
// for good once a custom size had to be fitted. `ref` is the reference page
// (null on the first page). Returns the final percentage in cupsInteger[7].
int ApplyPageScaling(cups_page_header2_t *h, const cups_page_header2_t *ref, bool printerA3, float *MW,
                     float *MH);

// Logs the DriverFeature and capability bits as "label = 0|1" lines.
void LogDriverFeatureBits(DWORD DriverFeature);
void LogCapabilityBits(const BYTE *Feature);
