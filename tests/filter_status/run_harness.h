// Whole runs of the real filter binary with the simulated status-monitor
// library in a private root: raster made by cupsfilter from a real document,
// the job stream, standard error, the library's call log and the debug log.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim_env.h"

namespace runs {

using simenv::readFile;
using simenv::writeFile;

// Raster of one A6 page (or more) made once per option set and test process.
inline std::string raster(const std::string &options, const std::string &document = "/usr/share/cups/data/default-testpage.pdf")
{
    static simenv::TempDir dir("fstatus-raster");
    static std::map<std::string, std::string> made;
    const std::string key = options + "|" + document;
    auto it = made.find(key);
    if (it != made.end())
        return it->second;
    std::string path = dir.path() + "/r" + std::to_string(made.size()) + ".ras";
    std::string cmd = "cupsfilter -p '" PPD_SOURCE "' -m application/vnd.cups-raster -o PageSize=A6 " + options +
                      " '" + document + "' > '" + path + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0 || readFile(path).size() < 1000)
        return "";
    made[key] = path;
    return path;
}

struct Setup {
    const char *lib = nullptr;    // built library placed at the first search path, or none
    std::string state;            // simulated printers (the log line is added)
    unsigned driverFeature = 0;   // the PPD's DriverFeature
    std::string rasterFile;       // input raster
    std::string cache;            // capability cache content before the run ("" = none)
    std::string cacheName;        // cache file in /tmp ("" = the queue's own)
    std::string queue = "q1";
    int timeoutSec = 60;
};

struct Result {
    int status = -1;
    bool timedOut = false;
    double secs = 0;
    std::string out;    // the job stream
    std::string err;    // standard error (STATE, ATTR, ERROR lines)
    std::string calls;  // what the library was asked
    std::string log;    // the debug log
    std::string cache;  // capability cache content after the run
    std::string pages;  // qzgdi-decode's summary of the job stream
};

inline bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

inline std::string ppdWithFeature(const std::string &dir, unsigned feature)
{
    std::string ppd = readFile(PPD_SOURCE);
    const std::string key = "*DriverFeature: \"";
    size_t at = ppd.find(key);
    if (at != std::string::npos) {
        size_t end = ppd.find('"', at + key.size());
        ppd.replace(at + key.size(), end - at - key.size(), std::to_string(feature));
    }
    std::string path = dir + "/queue.ppd";
    writeFile(path, ppd);
    return path;
}

inline Result run(const Setup &job)
{
    Result r;
    simenv::TempDir root("fstatus-run");
    const std::string &R = root.path();
    simenv::fs::create_directories(R + "/tmp/cups");
    chmod((R + "/tmp/cups").c_str(), 0700);
    if (job.lib)
        simenv::placeLibrary(R, job.lib, "/usr/bin/hwbridge.so");
    const std::string cachePath = R + "/tmp/" + (job.cacheName.empty() ? job.queue + ".dat" : job.cacheName);
    if (!job.cache.empty())
        writeFile(cachePath, job.cache);
    writeFile(R + "/state", "log=" + R + "/calls.log\n" + job.state);
    const std::string ppd = ppdWithFeature(R, job.driverFeature);

    const std::string outPath = R + "/job.prn", errPath = R + "/stderr";
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        FILE *o = std::freopen(outPath.c_str(), "w", stdout);
        FILE *e = std::freopen(errPath.c_str(), "w", stderr);
        FILE *i = std::freopen("/dev/null", "r", stdin);
        if (!o || !e || !i)
            _exit(120);
        setenv("PPD", ppd.c_str(), 1);
        setenv("RASTERPRESS_TEST_ROOT", R.c_str(), 1);
        setenv("HWBRIDGE_SIM_STATE", (R + "/state").c_str(), 1);
        // No scheduler in the tests: keep the destination look-ups on a closed loopback port.
        setenv("CUPS_SERVER", "127.0.0.1:9", 1);
        // A run by hand: the cache lives at its name under the test root.
        unsetenv("TMPDIR");
        std::vector<std::string> args = {job.queue, "42", "alice", "status-test", "1", "", job.rasterFile};
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(RASTERPRESS_BIN, argv.data());
        _exit(127);
    }
    int wstatus = 0;
    auto deadline = t0 + std::chrono::seconds(job.timeoutSec);
    for (;;) {
        pid_t w = waitpid(pid, &wstatus, WNOHANG);
        if (w == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            r.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    r.calls = readFile(R + "/calls.log");
    // A state the library did not understand would make the run prove nothing.
    EXPECT_FALSE(has(r.calls, "unknown state key")) << r.calls;
    r.log = readFile(R + "/tmp/cups/printer.log");
    r.cache = readFile(cachePath);
#ifdef QZGDI_DECODE_BIN
    std::string decoded = R + "/decoded.txt";
    std::string cmd = "'" QZGDI_DECODE_BIN "' --no-images '" + R + "/pages' '" + outPath + "' > '" + decoded + "' 2>&1";
    simenv::fs::create_directories(R + "/pages");
    if (std::system(cmd.c_str()) != -1)
        r.pages = readFile(decoded);
#endif
    return r;
}

// The time stamp ("t=MS") of the first call-log line containing `needle`, or -1.
inline long long callTime(const std::string &calls, const std::string &needle)
{
    for (const std::string &l : simenv::lines(calls))
        if (l.find(needle) != std::string::npos) {
            size_t t = l.rfind(" t=");
            return t == std::string::npos ? -1 : std::atoll(l.c_str() + t + 3);
        }
    return -1;
}

inline std::string capBlock(unsigned char f0, unsigned char f1)
{
    std::string b(1026, '\0');
    b[0] = static_cast<char>(f0);
    b[1] = static_cast<char>(f1);
    return b;
}

} // namespace runs
