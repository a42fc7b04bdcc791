// A PDF printed by a real CUPS scheduler through what the packages install: the
// queue takes the staged queue description, the scheduler runs the staged
// filter file itself, and its page log counts the pages the filter sent, as
// does the job log's total from what the converter stand-in reads of the job.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

#include "run_util.h"
#include "scheduler.h"

using namespace runs;

namespace
{

// Runs a command, returns its exit status and what it printed.
int RunCommand(const std::string &cmd, std::string *out)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace

TEST(InstalledDriver, PrintsAPdfWhosePagesThePageLogCounts)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the scheduler must be able to run its filters as user lp";
    Scheduler cupsd(STAGED_FILTER, true);
    ASSERT_TRUE(cupsd.Start());
    ASSERT_TRUE(cupsd.Shell("lpadmin -p jyx30 -E -v file://" + cupsd.Out() +
                            " -P " STAGE "/usr/share/ppd/porvik/jyx30.ppd 2>/dev/null"));
    // Three pages two-sided in two collated copies: the sheets are spooled and replayed.
    ASSERT_TRUE(
        cupsd.Shell(std::string("lp -d jyx30 -n 2 -o Collate=True -o PageSize=A6 -o Duplex=DuplexNoTumble "
                                "-o page-ranges=1-3 ") +
                    kManual + " > /dev/null"));
    bool done = false;
    for (int i = 0; i < 600 && !done; i++) {
        usleep(100 * 1000);
        done = cupsd.Shell("lpstat -W completed -o jyx30 | grep -q jyx30-1");
    }
    ASSERT_TRUE(done) << cupsd.JobLog();

    std::string decoded;
    int status =
        RunCommand(QZGDI_DECODE_BIN " --no-images " + Root() + "/decoded " + cupsd.Out() + " 2>&1", &decoded);
    ASSERT_EQ(status, 0) << decoded;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(decoded, m, std::regex("\npages: (\\d+)\n"))) << decoded;
    const int pages = std::stoi(m[1]);
    EXPECT_EQ(pages, 8) << decoded;

    // The scheduler adds up the filter's PAGE lines into the job's line:
    // "printer user job [time] total pages ...".
    std::string log = cupsd.PageLog();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("(^|\n)jyx30 \\S+ 1 \\[[^\\]]*\\] total (\\d+) ")))
        << log;
    EXPECT_EQ(std::stoi(m[2]), pages) << log;

    // The converter stand-in on the same job: the job log's total, Pages x
    // Copies, counts those pages too (the file already holds both copies, so
    // the printer is to print it once).
    std::string info;
    const std::string xml = Root() + "/jyx30.xml";
    ASSERT_EQ(RunCommand(PRUVO_BIN " -prn " + cupsd.Out() + " -xml " + xml + " && cat " + xml, &info), 0)
        << info;
    std::smatch p, c;
    ASSERT_TRUE(std::regex_search(info, p, std::regex("<Pages>(\\d+)</Pages>"))) << info;
    ASSERT_TRUE(std::regex_search(info, c, std::regex("<Copies>(\\d+)</Copies>"))) << info;
    EXPECT_EQ(std::stoi(p[1]) * std::stoi(c[1]), pages) << info;
}
