// The printer-status thread: polls the printer through the status-monitor
// library while the job runs, reports state to CUPS, holds the page loop while
// the printer is in error and cancels the job on the printer's Cancel button or
// an error that does not clear.
#include <cstring>

#include "rasterpress.h"
#include "statusmonitor.h"
#include "velmora.h"

namespace {

enum {
    PSM_POLL_MS = 500,
    DIRECT_POLL_MS = 10000,
    // Short slices so that a stop request is seen well within a second.
    SLEEP_SLICE_MS = 100,
    ABORT_TIME_OUT_MS = 60000,
    DEFAULT_TIME_OUT_MS = 15000,
};

// False when the thread was told to stop during the wait.
bool sleepUnlessStopped(int totalMs)
{
    for (int slept = 0; slept < totalMs; slept += SLEEP_SLICE_MS) {
        Sleep(SLEEP_SLICE_MS);
        if (gStatusThreadExit.load(std::memory_order_acquire))
            return false;
    }
    return true;
}

} // namespace

void RemoveIgnoredCodes(pErrorInfo *status)
{
    const int capacity = static_cast<int>(sizeof status->code / sizeof status->code[0]);
    int n = status->ErrNum;
    if (n < 0)
        n = 0;
    if (n > capacity)
        n = capacity;
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        DbgMessage("CheckPrinterStatus", "code = %d", status->code[i]);
        if (status->code[i] != SM_CODE_IGNORED)
            status->code[kept++] = status->code[i];
    }
    for (int i = kept; i < n; ++i)
        status->code[i] = 0;
    status->ErrNum = kept;
    DbgMessage("CheckPrinterStatus", "ErrNum = %d", kept);
}

void *CheckPrinterStatus(void *param)
{
    const StatusThreadInfo *info = static_cast<const StatusThreadInfo *>(param);
    const bool abortOnError = (info->DriverFeature & DRVF_ABORT_ON_ERROR) != 0;
    const bool psm = info->IsPSMExist != 0;
    const int PSM_TIME_OUT = abortOnError ? ABORT_TIME_OUT_MS : DEFAULT_TIME_OUT_MS;
    DbgMessage("CheckPrinterStatus", "PSM_TIME_OUT = %d", PSM_TIME_OUT);

    DWORD statustick = GetTickCount();
    SMCancelJobStruc record;
    std::memset(&record, 0, sizeof record);
    int PrinterState = 0; // 1 once "STATE: +错误" went out for the current error
    DbgMessage("CheckPrinterStatus", "in");

    // The thread works on its own copy of the printer entry: the reader thread
    // passes the driver's entry to the library at the same time.
    PrinterAttribute printer;
    std::memset(&printer, 0, sizeof printer);
    if (info->WorkPrinter) {
        printer = *info->WorkPrinter;
        printer.PrinterName[sizeof printer.PrinterName - 1] = '\0';
        printer.PortName[sizeof printer.PortName - 1] = '\0';
        DbgMessage("CheckPrinterStatus", "PrinterName = %s", printer.PrinterName);
        DbgMessage("CheckPrinterStatus", "PortName = %s", printer.PortName);
    }

    while (info->WorkPrinter) {
        if (fnReadWriteMemory && psm) {
            char name[256] = {};
            std::memcpy(name, printer.PrinterName, sizeof printer.PrinterName);
            fnReadWriteMemory(SDK_Read, Read_None, name, &record);
        } else if (!fnQueryPrinterStatus || (info->DriverFeature & DRVF_DISABLE_STATUS_MONITOR)) {
            break;
        } else {
            std::memset(record.PInfo.Port, 0, sizeof record.PInfo.Port);
            std::strncpy(record.PInfo.Port, printer.PortName, sizeof record.PInfo.Port - 1);
            fnQueryPrinterStatus(&printer, &record.PInfo.status, &record.PInfo.supplies);
        }
        record.PInfo.Port[sizeof record.PInfo.Port - 1] = '\0';
        DbgMessage("CheckPrinterStatus", "port %s.", record.PInfo.Port);
        DbgMessage("CheckPrinterStatus", "ID %d.", record.PInfo.modelID);

        if (record.CancelSignal) {
            gCancelJob.store(1, std::memory_order_release);
            DbgMessage("CheckPrinterStatus", "press printer Cancel button!");
            break;
        }

        if (record.PInfo.Port[0] != '\0') {
            if (std::strstr(record.PInfo.Port, "usb")) {
                DbgMessage("CheckPrinterStatus", "It's usb printer.");
                CupsLinef("ATTR: ", "marker-levels=%d",
                          static_cast<int>(record.PInfo.supplies.UsageRemain[USAGE_REMAIN_CARTRIDGE]));
            }
            RemoveIgnoredCodes(&record.PInfo.status);
            const int ErrNum = record.PInfo.status.ErrNum;
            if (abortOnError) {
                // With the status-monitor process running, it tells CUPS about errors itself.
                if (!psm) {
                    if (ErrNum > 0 && PrinterState == 0) {
                        CupsLine("STATE: ", "+错误");
                        PrinterState = 1;
                    }
                    if (ErrNum == 0) {
                        CupsLine("STATE: ", "-错误");
                        DbgMessage("CheckPrinterStatus", "no error");
                        PrinterState = 0;
                    }
                }
                if (ErrNum > 0) {
                    gErrorSuspend.store(1, std::memory_order_release);
                } else {
                    statustick = GetTickCount();
                    gErrorSuspend.store(0, std::memory_order_release);
                }
            }
        }

        const DWORD elapsed = GetTickCount() - statustick;
        DbgMessage("CheckPrinterStatus", "statustick = %d", static_cast<int>(elapsed));
        if (abortOnError && elapsed > static_cast<DWORD>(PSM_TIME_OUT)) {
            if (!psm)
                CupsLine("STATE: ", "-错误");
            DbgMessage("CheckPrinterStatus", "Cancel job.");
            gCancelJob.store(1, std::memory_order_release);
            break;
        }

        if (!sleepUnlessStopped(psm ? PSM_POLL_MS : DIRECT_POLL_MS))
            break;
    }

    gErrorSuspend.store(0, std::memory_order_release);
    DbgMessage("CheckPrinterStatus", "gCancelJob = %d", gCancelJob.load(std::memory_order_acquire));
    DbgMessage("CheckPrinterStatus", "out");
    return nullptr;
}
