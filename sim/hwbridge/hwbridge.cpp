// Simulated status-monitor library for tests and the demo.
//
// It simulates the printers described by a state file whose path is in the
// environment variable HWBRIDGE_SIM_STATE. The file is re-read on every call,
// one "key=value" per line ('#' starts a comment):
//
//   log=PATH            append one line per call received (entry and arguments)
//   log_time=1          end each logged line with " t=MS" (monotonic clock, ms)
//   run=TEXT            a new value starts the call counters afresh (for tests
//                       that load the library more than once in one process)
//   printer=NAME PORT   a printer of the list, in order (repeatable, at most 70)
//   list_rc=N           result of GetPrinterList_s (default 0)
//   wake_rc=N           result of WeakupNetPrinter (default 0)
//   psm=0|1             result of IsPSMRunning (default 0)
//   cap=HH HH           the two capability Feature bytes, hex (default 00 00)
//   cap_fail=N          the first N capability queries fail with result 1
//   status=POLL:CODES   from status poll POLL on, report these comma-separated
//                       codes (nothing after the colon = no error); repeatable
//   cartridge=N         cartridge level in the supplies (default 0)
//   model=N             model ID in the PSM record (default 0)
//   psm_port=0|1        whether the PSM record carries the printer's port (default 1)
//   cancel_at=POLL      the PSM record's CancelSignal is set from that poll on
//   acc_id=TEXT         the user's accounting answer: ID
//   acc_pwd=TEXT        ... and password
//   acc_id_at=N         number of accounting reads before the ID appears (default 0)
//   acc_pwd_at=N        number of accounting reads before the password appears (default 0)
//   garbage=1           answer like a careless library: text fields filled to
//                       their end without terminator, an error count far beyond
//                       the code list
//
// A key it does not know is logged as "unknown state key KEY" before each call,
// so a misspelt key (or a library older than the test) cannot pass unnoticed.
//
// A status poll is a QueryPrinterStatus call or a ReadWriteMemory read; polls,
// capability queries and accounting reads are counted per process (one job
// run) and per "run" value.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "statusmonitor.h"

#define HWB_EXPORT extern "C" __attribute__((visibility("default")))

// Nothing here may need a unique (never-unloaded) symbol such as those behind
// std::to_string: tests load and unload the library several times per process.

namespace {

struct SimPrinter {
    std::string name;
    std::string port;
};

struct SimState {
    std::string log;
    std::string run;
    int logTime = 0;
    std::vector<SimPrinter> printers;
    int listRc = 0;
    int wakeRc = 0;
    int psm = 0;
    BYTE cap[2] = {0, 0};
    int capFail = 0;
    std::vector<std::pair<int, std::vector<int>>> status; // (first poll, codes)
    long cartridge = 0;
    int model = 0;
    int psmPort = 1;
    int cancelAt = -1;
    std::string accId;
    std::string accPwd;
    int accIdAt = 0;
    int accPwdAt = 0;
    int garbage = 0;
    std::vector<std::string> unknown;
};

std::mutex gLock; // the filter calls in from two threads at once
int gPolls = 0;
int gAccReads = 0;
int gCapQueries = 0;
int gJobIdWritten = 0;
int gAccTypeWritten = 0;
char gRun[256] = "\x01"; // the "run" value the counters belong to; no value matches at first

int toInt(const std::string &s) { return static_cast<int>(std::strtol(s.c_str(), nullptr, 0)); }

std::vector<int> parseCodes(const std::string &s) {
    std::vector<int> codes;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t comma = s.find(',', pos);
        std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (!item.empty())
            codes.push_back(toInt(item));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return codes;
}

SimState loadState() {
    SimState st;
    const char *path = std::getenv("HWBRIDGE_SIM_STATE");
    if (!path)
        return st;
    std::ifstream in(path);
    if (!in)
        return st;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), val = line.substr(eq + 1);
        if (key == "log") {
            st.log = val;
        } else if (key == "log_time") {
            st.logTime = toInt(val);
        } else if (key == "run") {
            st.run = val;
        } else if (key == "printer") {
            size_t sp = val.find(' ');
            SimPrinter p;
            p.name = val.substr(0, sp);
            p.port = sp == std::string::npos ? "" : val.substr(sp + 1);
            st.printers.push_back(p);
        } else if (key == "list_rc") {
            st.listRc = toInt(val);
        } else if (key == "wake_rc") {
            st.wakeRc = toInt(val);
        } else if (key == "psm") {
            st.psm = toInt(val);
        } else if (key == "cap") {
            unsigned a = 0, b = 0;
            if (std::sscanf(val.c_str(), "%x %x", &a, &b) == 2) {
                st.cap[0] = static_cast<BYTE>(a);
                st.cap[1] = static_cast<BYTE>(b);
            }
        } else if (key == "cap_fail") {
            st.capFail = toInt(val);
        } else if (key == "status") {
            size_t colon = val.find(':');
            if (colon != std::string::npos)
                st.status.emplace_back(toInt(val.substr(0, colon)), parseCodes(val.substr(colon + 1)));
        } else if (key == "cartridge") {
            st.cartridge = toInt(val);
        } else if (key == "model") {
            st.model = toInt(val);
        } else if (key == "psm_port") {
            st.psmPort = toInt(val);
        } else if (key == "cancel_at") {
            st.cancelAt = toInt(val);
        } else if (key == "acc_id") {
            st.accId = val;
        } else if (key == "acc_pwd") {
            st.accPwd = val;
        } else if (key == "acc_id_at") {
            st.accIdAt = toInt(val);
        } else if (key == "acc_pwd_at") {
            st.accPwdAt = toInt(val);
        } else if (key == "garbage") {
            st.garbage = toInt(val);
        } else {
            st.unknown.push_back(key);
        }
    }
    if (st.run.compare(0, std::string::npos, gRun, strnlen(gRun, sizeof gRun)) != 0) {
        std::snprintf(gRun, sizeof gRun, "%s", st.run.c_str());
        gPolls = gAccReads = gCapQueries = gJobIdWritten = gAccTypeWritten = 0;
    }
    return st;
}

void logCall(const SimState &st, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendLine(const std::string &path, const char *buf, size_t len) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    ssize_t w = ::write(fd, buf, len);
    (void)w;
    ::close(fd);
}

void logCall(const SimState &st, const char *fmt, ...) {
    if (st.log.empty())
        return;
    for (const std::string &key : st.unknown) {
        std::string line = "unknown state key " + key + "\n";
        appendLine(st.log, line.data(), line.size());
    }
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::strlen(buf);
    if (st.logTime) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        long long ms = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        std::snprintf(buf + len, sizeof buf - 1 - len, " t=%lld", ms);
        len = std::strlen(buf);
    }
    buf[len++] = '\n';
    appendLine(st.log, buf, len);
}

// The caller's text fields are fixed arrays that need not be terminated.
std::string field(const char *p, size_t max) { return std::string(p, strnlen(p, max)); }

const SimPrinter *findPrinter(const SimState &st, const std::string &name) {
    for (const SimPrinter &p : st.printers)
        if (p.name == name)
            return &p;
    return nullptr;
}

void copyText(char *dst, size_t size, const std::string &src) {
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// The error codes and supplies the printer reports at poll `poll`.
void fillStatus(const SimState &st, int poll, pErrorInfo *status, SuppliesInfo *supplies) {
    const std::vector<int> *codes = nullptr;
    int from = -1;
    for (const auto &entry : st.status)
        if (entry.first <= poll && entry.first >= from) {
            from = entry.first;
            codes = &entry.second;
        }
    std::memset(status, 0, sizeof *status);
    if (codes) {
        int n = 0;
        for (int c : *codes)
            if (n < 512)
                status->code[n++] = c;
        status->ErrNum = n;
    }
    if (st.garbage && status->ErrNum > 0)
        status->ErrNum = 100000;
    std::memset(supplies, 0, sizeof *supplies);
    supplies->UsageRemain[USAGE_REMAIN_CARTRIDGE] = st.cartridge;
}

// Fills a text field to its very end, leaving no terminator.
void fillUnterminated(char *field, size_t size, char with)
{
    size_t used = strnlen(field, size);
    std::memset(field + used, with, size - used);
}

std::string codeList(const pErrorInfo &s) {
    std::string out;
    for (int i = 0; i < s.ErrNum && i < 512; ++i) {
        if (i)
            out += ',';
        char num[16];
        std::snprintf(num, sizeof num, "%d", s.code[i]);
        out += num;
    }
    return out;
}

} // namespace

HWB_EXPORT int GetPrinterList_s(PrinterAttribute *list, int max, int *count) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    logCall(st, "GetPrinterList_s max=%d", max);
    int n = 0;
    for (const SimPrinter &p : st.printers) {
        if (n >= max || n >= MAX_SM_PRINTERS)
            break;
        std::memset(&list[n], 0, sizeof list[n]);
        copyText(list[n].PrinterName, sizeof list[n].PrinterName, p.name);
        copyText(list[n].PortName, sizeof list[n].PortName, p.port);
        if (st.garbage) {
            fillUnterminated(list[n].PortName, sizeof list[n].PortName, 'x');
            std::memset(list[n].reserved, 'x', sizeof list[n].reserved);
        }
        ++n;
    }
    if (count)
        *count = n;
    return st.listRc;
}

#ifndef HWBRIDGE_PARTIAL
HWB_EXPORT int SendPrinterControl(PrinterAttribute *printer, int func, char *buf, int len) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    logCall(st, "SendPrinterControl printer=%s func=%d len=%d", field(printer->PrinterName, 128).c_str(),
            func, len);
    if (func != PRINT_QUERY_CAPABILITY || len < static_cast<int>(sizeof(PrinterCapability)))
        return -1;
    if (gCapQueries++ < st.capFail)
        return 1;
    std::memset(buf, 0, sizeof(PrinterCapability));
    buf[0] = static_cast<char>(st.cap[0]);
    buf[1] = static_cast<char>(st.cap[1]);
    return 0;
}

HWB_EXPORT int QueryPrinterStatus(PrinterAttribute *printer, pErrorInfo *status, SuppliesInfo *supplies) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    int poll = gPolls++;
    fillStatus(st, poll, status, supplies);
    logCall(st, "QueryPrinterStatus printer=%s port=%s poll=%d codes=%s",
            field(printer->PrinterName, 128).c_str(), field(printer->PortName, 128).c_str(), poll,
            codeList(*status).c_str());
    return 0;
}
#endif

HWB_EXPORT int ReadWriteMemory(int rw, int item, char *PrinterName, SMCancelJobStruc *record) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    std::string name = field(PrinterName, 256);
    if (rw == SDK_Write) {
        logCall(st, "ReadWriteMemory rw=1 item=%d printer=%s JobID=%d CancelReady=%d", item, name.c_str(),
                record->JobID, record->CancelReady);
        if (item == Write_JobID)
            gJobIdWritten = record->JobID;
        return 0;
    }
    int poll = gPolls++;
    std::memset(record, 0, sizeof *record);
    record->JobID = gJobIdWritten;
    const SimPrinter *p = findPrinter(st, name);
    if (p) {
        copyText(record->PInfo.PrinterName, sizeof record->PInfo.PrinterName, p->name);
        if (st.psmPort)
            copyText(record->PInfo.Port, sizeof record->PInfo.Port, p->port);
        record->PInfo.modelID = st.model;
        fillStatus(st, poll, &record->PInfo.status, &record->PInfo.supplies);
        record->CancelSignal = st.cancelAt >= 0 && poll >= st.cancelAt;
        if (st.garbage) {
            fillUnterminated(record->PInfo.Port, sizeof record->PInfo.Port, 'x');
            fillUnterminated(record->Title, sizeof record->Title, 't');
        }
    }
    logCall(st, "ReadWriteMemory rw=0 item=%d printer=%s poll=%d codes=%s cancel=%d", item, name.c_str(), poll,
            codeList(record->PInfo.status).c_str(), record->CancelSignal);
    return 0;
}

#ifndef HWBRIDGE_PARTIAL
HWB_EXPORT int ReadWriteMemoryEx(int rw, int item, char *PrinterName, void *data, int size) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    std::string name = field(PrinterName, 256);
    if (size < static_cast<int>(sizeof(SMMemDataEx))) {
        logCall(st, "ReadWriteMemoryEx rw=%d item=%d printer=%s size=%d refused", rw, item, name.c_str(), size);
        return -1;
    }
    SMMemDataEx *rec = static_cast<SMMemDataEx *>(data);
    if (rw == SDK_Write) {
        logCall(st, "ReadWriteMemoryEx rw=1 item=%d printer=%s size=%d JobID=%d AccDialogType=%d", item,
                name.c_str(), size, rec->JobID, rec->AccDialogType);
        if (item == Write_JobID)
            gJobIdWritten = rec->JobID;
        if (item == Write_AccDiaType)
            gAccTypeWritten = rec->AccDialogType;
        return 0;
    }
    int reads = gAccReads++;
    std::memset(rec, 0, sizeof *rec);
    rec->JobID = gJobIdWritten;
    rec->AccDialogType = gAccTypeWritten;
    if (reads >= st.accIdAt)
        copyText(rec->AccID, sizeof rec->AccID, st.accId);
    if (reads >= st.accPwdAt)
        copyText(rec->AccPwd, sizeof rec->AccPwd, st.accPwd);
    if (st.garbage && rec->AccID[0])
        fillUnterminated(rec->AccID, sizeof rec->AccID, 'Z');
    if (st.garbage && rec->AccPwd[0])
        fillUnterminated(rec->AccPwd, sizeof rec->AccPwd, 'Y');
    logCall(st, "ReadWriteMemoryEx rw=0 item=%d printer=%s size=%d read=%d", item, name.c_str(), size, reads);
    return 0;
}
#endif

HWB_EXPORT int IsPSMRunning(void) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    logCall(st, "IsPSMRunning");
    return st.psm;
}

HWB_EXPORT int WeakupNetPrinter(char *port) {
    std::lock_guard<std::mutex> g(gLock);
    SimState st = loadState();
    logCall(st, "WeakupNetPrinter port=%s", field(port, 128).c_str());
    return st.wakeRc;
}
