// Definitions of the filter's process-wide state and the paper table.
#include "rasterpress.h"

PAPERFORMAT gPaperFormat[PAPER_FORMAT_ROWS] = {
    {612, 792, 15, "Letter", 0},    // ENG_LETTER
    {612, 1008, 16, "Legal", 0},    // ENG_LEGAL
    {792, 1224, 30, "Tabloid", 0},  // ENG_DLT
    {842, 1191, 1, "A3", 0},        // ENG_ISO_A3
    {595, 842, 2, "A4", 0},         // ENG_ISO_A4
    {420, 595, 3, "A5", 0},         // ENG_ISO_A5
    {729, 1032, 11, "B4", 0},       // ENG_JIS_B4
    {516, 729, 12, "B5", 0},        // ENG_JIS_B5
    {363, 516, 13, "B6", 0},        // ENG_JIS_B6
    {297, 420, 4, "A6", 0},         // ENG_ISO_A6
    {612, 936, 17, "Legal13", 0},   // ENG_FOOLSCAP
    {284, 419, 28, "Postcard", 0},  // ENG_POSTCARD
    {396, 612, 14, "Statement", 0}, // ENG_ST
    {757, 1106, 31, "8K", 0},       // ENG_8K
    {553, 757, 32, "16K", 0},       // ENG_16K
};

int gJobID = 0;
std::atomic<int> gCancelJob{0};
std::atomic<int> gErrorSuspend{0};
std::atomic<int> gJbigThreadExit{0};
std::atomic<int> gStatusThreadExit{0};
std::atomic<int> gSaveToFile{0};
std::atomic<DWORD> gMAX_THREAD{1};
std::atomic<DWORD> count_bytes{0};
std::atomic<int> gOutputSize{0};
cups_page_header2_t ginheader_bak;
FILE *stdoutPRN = nullptr;
std::atomic<int> gOutputFailed{0};
std::atomic<int> gJobFailed{0};
