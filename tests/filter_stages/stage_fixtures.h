// Small page slots for the stage tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rasterpress.h"
#include "velmora.h"

// A slot owning an 8-bit page of w x h pixels (rows of w bytes), every byte `fill`.
struct TestSlot {
    std::unique_ptr<JobInfo> slot;
    TestSlot(DWORD w, DWORD h, BYTE fill = 0xFF, DWORD resolution = 600);
    ~TestSlot();
    JobInfo *operator->() { return slot.get(); }
    JobInfo *get() { return slot.get(); }
    BYTE &at(DWORD x, DWORD y) { return slot->lpbuf[static_cast<size_t>(y) * slot->linebyte + x]; }
    // Bit x of row y of a 1-bit page.
    int bit(DWORD x, DWORD y) const
    {
        return (slot->lpbuf[static_cast<size_t>(y) * slot->linebyte + x / 8] >> (7 - x % 8)) & 1;
    }
};

// A page header as gstoraster writes it for an 8-bit gray page.
cups_page_header2_t GrayHeader(unsigned w, unsigned h, unsigned dpi, unsigned ptW = 612, unsigned ptH = 792);

// Captures what is written to standard error (fd 2) while it lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text(); // stops the capture on first call
private:
    int saved_ = -1;
    std::string path_;
    bool done_ = false;
    std::string text_;
};

// The test root prefix (a fresh temp folder with "tmp/cups" inside), set as
// RASTERPRESS_TEST_ROOT before main so no test touches the real fixed paths.
const std::string &TestRootDir();
// Everything logged so far (the relocated "/tmp/cups/printer.log").
std::string LogText();

// Enables the paper table rows (as BuildPaperList does for a PPD listing every size).
void EnableAllPapers(bool on = true);
