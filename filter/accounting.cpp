// The accounting dialog: the status-monitor process asks the user for an
// account ID (and password) and the filter waits for the answer.
#include <cstring>

#include "rasterpress.h"
#include "statusmonitor.h"
#include "velmora.h"

namespace {

enum { ACCOUNT_FIELD_SIZE = 128, ACCOUNTING_POLL_MS = 3000, ACCOUNTING_SLICE_MS = 100 };

// The record's text fields need not be terminated; copy at most what they hold.
void copyField(char *dst, const char *src, size_t srcSize)
{
    size_t n = strnlen(src, srcSize);
    if (n > ACCOUNT_FIELD_SIZE - 1)
        n = ACCOUNT_FIELD_SIZE - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Waits one poll interval; false when the job was cancelled meanwhile.
bool waitPoll()
{
    for (int waited = 0; waited < ACCOUNTING_POLL_MS; waited += ACCOUNTING_SLICE_MS) {
        if (gCancelJob.load(std::memory_order_acquire))
            return false;
        Sleep(ACCOUNTING_SLICE_MS);
    }
    return !gCancelJob.load(std::memory_order_acquire);
}

} // namespace

BOOL AccountingDlg(const char *PrinterName, int type, char *accid, char *accpw)
{
    SMMemDataEx record;
    std::memset(&record, 0, sizeof record);
    record.JobID = gJobID;
    record.AccDialogType = type == 2 ? 2 : 1;
    DbgMessage("AccountingDlg", "JobID = %d", record.JobID);
    DbgMessage("AccountingDlg", "AccDialogType = %d", record.AccDialogType);
    int rc = 0;
    if (fnReadWriteMemoryEx) {
        const bool wantPassword = record.AccDialogType == 2;
        char name[256] = {};
        if (PrinterName)
            std::strncpy(name, PrinterName, sizeof name - 1);
        fnReadWriteMemoryEx(SDK_Write, Write_JobID, name, &record, sizeof record);
        fnReadWriteMemoryEx(SDK_Write, Write_AccDiaType, name, &record, sizeof record);
        // No time-out: the user may take as long as needed; only a cancelled job stops the wait.
        for (;;) {
            rc = fnReadWriteMemoryEx(SDK_Read, Read_None, name, &record, sizeof record);
            const bool haveId = record.AccID[0] != '\0';
            const bool havePwd = record.AccPwd[0] != '\0';
            if (haveId && (!wantPassword || havePwd)) {
                copyField(accid, record.AccID, sizeof record.AccID);
                DbgMessage("AccountingDlg", "ID = %s", accid);
                if (wantPassword) {
                    copyField(accpw, record.AccPwd, sizeof record.AccPwd);
                    // The debug log is no place for a password.
                    DbgMessage("AccountingDlg", "Password = %s", "***");
                }
                break;
            }
            if (!waitPoll()) {
                DbgMessage("AccountingDlg", "job cancelled, no answer");
                break;
            }
        }
    }
    DbgMessage("AccountingDlg", "Out. rc = %d", rc);
    return TRUE;
}
