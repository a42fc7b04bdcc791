// Pieces of the PJL stream shared by its files and reached by the stage tests.
#pragma once

#include <string>
#include <vector>

#include "rasterpress.h"

extern const char DrvCancelStr[];
extern const char UELStr[];
extern const char EndOfJobStr[];
extern const char DrvCancelStr2[];

enum { PJL_HEADER_BLOCK_SIZE = 2048, PJL_TAIL_SIZE = 1024 };

// One line of the job header: prefix, value, and whether the value is quoted.
struct PjlLine {
    std::string prefix;
    std::string value;
    bool quoted;
};

// Joins UEL and the lines (each ending CR LF) into a block of at most `cap`
// bytes. Values lose control characters (a title must not start a PJL line of
// its own) and, when quoted, their double quotes; when the block would not fit,
// the longest values are cut (at a UTF-8 character boundary) until it does.
std::string BuildHeaderBlock(const std::vector<PjlLine> &lines, size_t cap = PJL_HEADER_BLOCK_SIZE);

// The close-of-job tail (TIMEOUT 5, host-cancel lines when cancelled, EOJ, UEL).
std::string CloseJobTail(BOOL cancel);

// The header lines PJL_WriteStartJobCmd writes, in order (the job's accounting
// JSON already parsed into `json`; Duplex and Tumble are set to the job's
// decisions).
struct StartJobInfo {
    int numUP;
    const char *PrinterName;
    const char *szUserName;
    const char *szDocName;
    BOOL bDriverDoCollate;
    const char *PrinterLocation;
    const BYTE *Feature;
    DWORD DriverFeature;
    const char *DriverVersion;
    const char *AccountName;
    const char *AccountPwd;
    const char *PrinterPortName;
    const char *HostName;
    DWORD Tick;
    int year, month, day, hour, minute, second;
};
std::vector<PjlLine> JobHeaderLines(cups_page_header2_t *inheader, const StartJobInfo &info,
                                    const char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE]);

// Title and job id made safe as parts of a file name in /tmp (no '/', no control bytes).
std::string FileNamePart(const char *text);

// The accounting JSON job file's name (before the test root): at most
// JSON_NAME_MAX characters, the title shortened so that the job id (and the
// tag after it) always stays.
enum { JSON_NAME_MAX = 127 };
std::string JsonFileName(const char *title, const char *jobId, const char *tag = "");

// Creates the JSON job file empty, private and held (leftovers.h): at the usual
// name when it is free, else at the usual name with a random tag after the job
// id. Returns its descriptor, -1 when none could be made; its path (with the
// test root) goes to `path`.
int CreateJsonFile(const char *title, const char *jobId, std::string &path);
// Whether `name` (inside its folder) is a JSON job file name as made above.
bool IsJsonFileName(const char *name);

// Runs the accounting tool on the JSON path and title without a shell, with
// standard input, output and error kept away from the job stream and CUPS. Waits for it.
void RunAccountingTool(const std::string &tool, const std::string &jsonPath, const char *title);
