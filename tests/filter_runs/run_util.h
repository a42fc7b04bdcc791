// Helpers of the whole-run tests: real raster from cupsfilter, raster files
// written by hand for the bad inputs, runs of the real filter binary, and a
// reader of the job stream that decodes pages with jbgtopbm.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <cups/raster.h>

namespace runs
{

// A fresh folder "/tmp/PREFIX-XXXXXX", removed with all it holds when the object goes.
struct TempDir {
    std::string path;
    explicit TempDir(const char *prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

// Temporary root for the filter's fixed paths and the test files.
const std::string &Root();
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data, int mode = 0600);

// A copy of the queue description with some main keywords replaced
// (e.g. {"DriverFeature", "\"1\""}); returns its path.
std::string PpdVariant(const std::string &name, const std::map<std::string, std::string> &attrs);
std::string BasePpd();

// Raster made by cupsfilter from a real document, cached per option set.
std::string CupsRaster(const std::string &doc, const std::vector<std::string> &options);
const char *const kTestPage = "/usr/share/cups/data/default-testpage.pdf";
const char *const kManual = "/usr/share/doc/libtasn1-doc/libtasn1.pdf";

struct RasterPage {
    cups_page_header2_t header;
    std::string data; // cupsBytesPerLine * cupsHeight bytes (or fewer, for a truncated page)
};
std::vector<RasterPage> ReadRaster(const std::string &path);
// Writes an uncompressed version-3 raster stream exactly as given.
void WriteRaster(const std::string &path, const std::vector<RasterPage> &pages);

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
    long maxRssKb = 0; // peak resident memory of the filter, when measured
};
struct RunOptions {
    std::string queue = "q1";
    std::string jobId = "12";
    std::string user = "alice";
    std::string title = "report";
    std::string options;
    std::string ppd;               // empty: the base queue description
    bool viaStdin = true;          // 6 arguments, raster on standard input
    std::vector<std::string> env; // extra NAME=VALUE, each replacing an inherited NAME; TMPDIR only from here
    int termAfterMs = -1;          // send SIGTERM this long after the start
    bool closeStdoutEarly = false; // the reader of standard output goes away at once
    std::string root;              // test root of the filter's fixed paths; empty: Root()
    int uid = -1;                  // run the filter as this user and group id (as CUPS runs it as lp)
    int killAfterMs = 100000;      // a filter still running then is killed: a hang fails, not hangs, the test
    bool measurePeak = false;      // fill RunResult::maxRssKb
};
RunResult RunFilter(const std::string &raster, const RunOptions &o = RunOptions());
// Starts the filter without waiting; Wait() collects it.
struct Running {
    int pid;
    std::string outPath, errPath, peakPath;
    int killAfterMs;
};
Running StartFilter(const std::string &raster, const RunOptions &o);
RunResult Wait(const Running &r);

struct PageRec {
    uint32_t width, height, datasize, compsize, blackDots;
    uint8_t paper, media, tray, outbin, bits, colors, colormode, comp;
    std::string payload; // as sent (after the 34-byte head)
    // Decoded bitmap (1 = black), rows of (width*bits+7)/8 bytes; empty when not decodable.
    std::vector<uint8_t> bitmap;
    uint32_t rowBytes = 0;
    uint64_t setPixels = 0;
};
struct Job {
    bool ok = false;                 // the stream has the expected shape
    std::string problem;             // what did not parse
    bool startCancel = false;        // begins with the start-of-job cancel and 512 zeros
    std::vector<std::string> header; // PJL lines of the header block
    std::vector<PageRec> pages;
    std::string close; // everything after the last page record
};
// Parses a job; pages are decoded with jbgtopbm when compressed and not encrypted.
Job ParseJob(const std::string &stream);

// Expected close sequences.
std::string CloseSequence(bool cancel, bool aligned = false);

// Pages of the manual as A6 raster (small pages keep the runs fast: under 9 MB a page).
std::string ManualPages(const std::string &range, const std::vector<std::string> &extra = {});
// The black-dot count of each page record, in stream order.
std::vector<uint32_t> BlackDots(const Job &job);
bool HasLine(const std::vector<std::string> &lines, const std::string &line);
// Links the stand-in accounting tool in as "/opt/Omsta/ATM" under the test root.
bool InstallAccountingTool(const std::string &root = Root());
// The JSON path the stand-in tool was given with "-f", from its ATM_SIM_LOG file.
std::string JsonArgument(const std::string &log);

} // namespace runs
