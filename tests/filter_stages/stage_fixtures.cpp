#include "stage_fixtures.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

TestSlot::TestSlot(DWORD w, DWORD h, BYTE fill, DWORD resolution) : slot(new JobInfo())
{
    slot->page_width = w;
    slot->page_height = h;
    slot->linebyte = w;
    slot->pagesize = w * h;
    slot->lpbuf = static_cast<BYTE *>(malloc(slot->pagesize ? slot->pagesize : 1));
    memset(slot->lpbuf, fill, slot->pagesize);
    slot->inheader = GrayHeader(w, h, resolution);
    slot->MaxMediaWidth = 595.0f;
    slot->MaxMediaHeight = 842.0f;
}

TestSlot::~TestSlot()
{
    free(slot->lpbuf);
}

cups_page_header2_t GrayHeader(unsigned w, unsigned h, unsigned dpi, unsigned ptW, unsigned ptH)
{
    cups_page_header2_t hd;
    memset(&hd, 0, sizeof hd);
    hd.cupsWidth = w;
    hd.cupsHeight = h;
    hd.cupsBitsPerColor = 8;
    hd.cupsBitsPerPixel = 8;
    hd.cupsBytesPerLine = w;
    hd.cupsColorOrder = CUPS_ORDER_CHUNKED;
    hd.cupsColorSpace = CUPS_CSPACE_W;
    hd.HWResolution[0] = hd.HWResolution[1] = dpi;
    hd.PageSize[0] = ptW;
    hd.PageSize[1] = ptH;
    hd.NumCopies = 1;
    return hd;
}

StderrCapture::StderrCapture()
{
    char tmpl[] = "/tmp/fimage-stderr-XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    fflush(stderr);
    saved_ = dup(2);
    dup2(fd, 2);
    close(fd);
}

std::string StderrCapture::text()
{
    if (!done_) {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        text_ = ss.str();
        unlink(path_.c_str());
        done_ = true;
    }
    return text_;
}

StderrCapture::~StderrCapture()
{
    text();
}

const std::string &TestRootDir()
{
    static const std::string root = [] {
        char tmpl[] = "/tmp/fimage-stages-XXXXXX";
        std::string r = mkdtemp(tmpl);
        setenv("RASTERPRESS_TEST_ROOT", r.c_str(), 1);
        mkdir((r + "/tmp").c_str(), 0755);
        // The stages log a lot: into the (relocated) log folder, not the test output.
        mkdir((r + "/tmp/cups").c_str(), 0700);
        return r;
    }();
    return root;
}

std::string LogText()
{
    std::ifstream in(TestRootDir() + "/tmp/cups/printer.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

static const std::string &gRootAtStart = TestRootDir();

// Removes the test root when the test program ends.
static struct RootCleaner {
    ~RootCleaner()
    {
        std::error_code ec;
        std::filesystem::remove_all(TestRootDir(), ec);
    }
} gRootCleaner;

void EnableAllPapers(bool on)
{
    for (PAPERFORMAT &row : gPaperFormat)
        row.enable = on ? 1 : 0;
}
