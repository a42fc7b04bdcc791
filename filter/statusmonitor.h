// The status-monitor library binding: the records exchanged with hwbridge.so,
// its entry points, and the filter's own code around them (binding, job
// registration, accounting dialog, printer-status thread).
//
// The records cross the library boundary by pointer, so their layout is fixed:
// packed, little-endian, int 32 bits, long 64 bits. The simulated library under
// sim/hwbridge implements the same entry points from this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wintypes.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the library records are little-endian");

enum { MAX_SM_PRINTERS = 70 };

// Indexes of SuppliesInfo::UsageRemain.
enum {
    USAGE_REMAIN_NONE = 0,
    USAGE_REMAIN_DUPLEX = 1,
    USAGE_REMAIN_SORTER = 2,
    USAGE_REMAIN_FUSER = 3,
    USAGE_REMAIN_CARTRIDGE = 4,
    USAGE_REMAIN_TONER_COLLECTOR = 5,
    USAGE_REMAIN_DRUM = 6,
    USAGE_REMAIN_QUOTA = 7,
    USAGE_REMAIN_DEADLINE = 8,
    USAGE_REMAIN_REDCARTRIDGE = 9,
    USAGE_REMAIN_REDDRUM = 10,
    USAGE_REMAIN_NUM = 11,
};

// ReadWriteMemory / ReadWriteMemoryEx direction and item codes.
enum { SDK_Read = 0, SDK_Write = 1 };
enum {
    Read_None = 0,
    Write_JobID = 1,
    Write_CancelReady = 2,
    Write_CancelSignal = 3,
    Write_PrntInfo = 4,
    Write_ClearData = 5,
    Write_Message = 6,
    Write_ClearMsg = 7,
    Write_AccDiaType = 8,
    Write_AccInfo = 9,
};

// SendPrinterControl function code; the capability query is the only one sent.
enum { PRINT_QUERY_CAPABILITY = 13 };

// A code the printer reports that is not an error of the job.
enum { SM_CODE_IGNORED = 500001 };

#pragma pack(push, 1)

struct PrinterAttribute {
    char PrinterName[128];
    char PortName[128]; // device URI or port
    uint8_t reserved[1024];
};

struct PrinterCapability {
    BYTE Feature[2];
    BYTE Reserved[1024];
};

struct pErrorInfo {
    int32_t ErrNum;
    int32_t code[512];
    int32_t usbPrnStatus;
    int32_t errNumCheck;
    int32_t CancelJob;
    uint8_t reserved[1020];
};

struct SuppliesInfo {
    int64_t UsageRemain[USAGE_REMAIN_NUM];
    uint8_t reserved[1024];
};

struct SMMachineCap {
    int32_t supportNone;
    int32_t supportQuota;
    int32_t supportDeadline;
    int32_t supportFuser;
};

struct SMPrinterInfo {
    char PrinterName[256];
    char Port[256];
    int32_t modelID;
    int32_t EnableQuery;
    pErrorInfo status;
    pErrorInfo status_old;
    SuppliesInfo supplies;
    int32_t SnmpV2Check;
    SMMachineCap capability;
};

// The shared job record the status-monitor process keeps per printer.
struct SMCancelJobStruc {
    int32_t JobID;
    int32_t CancelReady;
    int32_t CancelSignal; // the printer's Cancel button was pressed
    SMPrinterInfo PInfo;
    char Title[256];
    char Message[256];
};

struct SMMemDataEx {
    int32_t JobID;
    int32_t CancelReady;
    int32_t CancelSignal;
    SMPrinterInfo PInfo;
    char Title[256];
    char Message[256];
    int32_t AccDialogType; // 1 = account ID, 2 = account ID and password
    char AccID[29];
    char AccPwd[29];
    char Reserved[2048];
};

#pragma pack(pop)

static_assert(sizeof(PrinterAttribute) == 1280, "PrinterAttribute layout");
static_assert(sizeof(PrinterCapability) == 1026, "PrinterCapability layout");
static_assert(sizeof(pErrorInfo) == 3084, "pErrorInfo layout");
static_assert(sizeof(SuppliesInfo) == 1112, "SuppliesInfo layout");
static_assert(sizeof(SMMachineCap) == 16, "SMMachineCap layout");
static_assert(sizeof(SMPrinterInfo) == 7820, "SMPrinterInfo layout");
static_assert(sizeof(SMCancelJobStruc) == 8344, "SMCancelJobStruc layout");
static_assert(sizeof(SMMemDataEx) == 10454, "SMMemDataEx layout");
static_assert(offsetof(SMMemDataEx, AccDialogType) == sizeof(SMCancelJobStruc),
              "SMMemDataEx starts with the job record");
static_assert(offsetof(SMCancelJobStruc, PInfo) == 12 && offsetof(SMPrinterInfo, status) == 520,
              "job record field offsets");

// Argument of the status thread; lives in the job driver's frame until the thread is joined.
struct StatusThreadInfo {
    PrinterAttribute *WorkPrinter; // null when the queue is not in the library's list
    int IsPSMExist;
    DWORD DriverFeature;
};

// Library entry points (C linkage in the library).
extern "C" {
typedef int (*PFN_GetPrinterList_s)(PrinterAttribute *list, int max, int *count);
typedef int (*PFN_SendPrinterControl)(PrinterAttribute *printer, int func, char *buf, int len);
typedef int (*PFN_QueryPrinterStatus)(PrinterAttribute *printer, pErrorInfo *status, SuppliesInfo *supplies);
typedef int (*PFN_ReadWriteMemory)(int rw, int item, char *PrinterName, SMCancelJobStruc *record);
typedef int (*PFN_ReadWriteMemoryEx)(int rw, int item, char *PrinterName, void *data, int size);
typedef int (*PFN_IsPSMRunning)(void);
typedef int (*PFN_WeakupNetPrinter)(char *port);
}

// The bound library; every pointer stays null when its symbol is missing. Set by
// LoadStatusMonitor before the status thread starts, cleared by UnloadStatusMonitor
// after it has been joined.
extern void *lib_handle;
extern PFN_GetPrinterList_s fnGetPrinterList_s;
extern PFN_SendPrinterControl fnSendPrinterControl;
extern PFN_QueryPrinterStatus fnQueryPrinterStatus;
extern PFN_ReadWriteMemory fnReadWriteMemory;
extern PFN_ReadWriteMemoryEx fnReadWriteMemoryEx;
extern PFN_IsPSMRunning fnIsPSMRunning;
extern PFN_WeakupNetPrinter fnWeakupNetPrinter;

// Binds the library and finds the queue WorkPrinter in its printer list
// (myPrinters holds MAX_SM_PRINTERS entries). *SelectPrnter is -1 when absent.
void LoadStatusMonitor(PrinterAttribute *myPrinters, int *printerNumber, int *SelectPrnter,
                       const char *WorkPrinter, const char *Toolfd);
// Closes the library and clears every entry pointer.
void UnloadStatusMonitor(void);

// Wakes the selected network printer (myPrinters[SelectPrnter], none when
// SelectPrnter < 0) and asks whether the status-monitor process runs; returns
// that answer (IsPSM_Exist), 0 without the entry.
int WakeUpAndProbePSM(PrinterAttribute *myPrinters, int SelectPrnter);

// Asks the selected printer for its capability block (three tries) and keeps it
// in the cache file; without an answer the cache file is read instead.
// PrnCapInfo (1026 bytes) is left as it was when neither gives a whole block.
// The cache lives in the job's own temporary folder (OpenJobTempDir) when the
// print system gives it one, else at its name in the shared one.
void QueryCapability(PrinterAttribute *myPrinters, int SelectPrnter, int IgnorePSM, const char *queue,
                     BYTE *PrnCapInfo);
// The cache file name for a queue, before the root prefix (IgnorePSM != 0 uses
// the shared one). Returns FALSE when the queue name cannot name a file.
BOOL CapabilityFileName(int IgnorePSM, const char *queue, char *out, size_t outSize);
// Whether `name` is that of a new cache on its way to its name.
bool IsCapabilityTempName(const char *name);

BOOL StatusMonitorEnable(const char *PrinterName);
BOOL StatusMonitorDisable(const char *PrinterName);
// Waits until the user has answered the accounting dialog (or the job is
// cancelled); accid and accpw are 128-byte buffers.
BOOL AccountingDlg(const char *PrinterName, int type, char *accid, char *accpw);

// Status thread body; param is a StatusThreadInfo*.
void *CheckPrinterStatus(void *param);

// Drops every SM_CODE_IGNORED code from the list, keeping the order of the rest;
// ErrNum is first clamped to the list's capacity.
void RemoveIgnoredCodes(pErrorInfo *status);
