// A CUPS scheduler of its own on loopback for whole-print tests: its ServerBin
// holds the system's filters and backends plus the rasterpress under test.
#pragma once

#include <string>
#include <sys/types.h>

namespace runs
{

class Scheduler
{
public:
    // filter: the rasterpress to print through. Copied into the ServerBin (0755),
    // or, with linked, reached through a link, so CUPS runs and checks that very
    // file (an installed one, with its own owner and mode).
    explicit Scheduler(std::string filter, bool linked = false);
    // The filter of this build.
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    bool Start();
    // Runs a shell command with CUPS_SERVER pointing at this scheduler.
    bool Shell(const std::string &cmd);
    // The file: device every queue of the tests prints to.
    std::string Out() const { return dir_ + "/out/job.prn"; }
    // The scheduler's lines about the job, without the filter's own debug lines.
    std::string JobLog() const;
    std::string PageLog() const;
    // RASTERPRESS_TEST_ROOT of the filters it runs.
    std::string FilterRoot() const { return dir_ + "/froot"; }

private:
    std::string filter_;
    bool linked_;
    std::string dir_, server_;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace runs
