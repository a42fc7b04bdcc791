// Whole runs of the real filter around the files it keeps in the shared
// temporary folder: each job's spool file and accounting answer are its own,
// private, and gone when the job is.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_util.h"

using namespace runs;

namespace
{

// Names in the filter's temporary folder that start with `prefix`.
std::vector<std::string> TmpFiles(const std::string &prefix)
{
    std::vector<std::string> names;
    if (DIR *d = opendir((Root() + "/tmp").c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' && std::string(e->d_name).rfind(prefix, 0) == 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The payload of every page record, in stream order.
std::vector<std::string> Payloads(const Job &job)
{
    std::vector<std::string> v;
    for (const PageRec &p : job.pages)
        v.push_back(p.payload);
    return v;
}

} // namespace

TEST(JobFiles, SpoolFileIsTheJobsOwnWhateverIsPlantedAtTheOldName)
{
    const std::string old = Root() + "//tmp//swspool.dat", victim = Root() + "/spool-victim";
    struct Case {
        const char *name;
        void (*plant)(const std::string &old, const std::string &victim);
        bool (*unchanged)(const std::string &old, const std::string &victim);
    };
    const Case cases[] = {
        {"nothing", [](const std::string &, const std::string &) {},
         [](const std::string &o, const std::string &) { return access(o.c_str(), F_OK) != 0; }},
        {"a folder", [](const std::string &o, const std::string &) { mkdir(o.c_str(), 0755); },
         [](const std::string &o, const std::string &) {
             struct stat st;
             return lstat(o.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
         }},
        {"a file of ours", [](const std::string &o, const std::string &) { WriteFile(o, "planted", 0644); },
         [](const std::string &o, const std::string &) { return ReadFile(o) == "planted"; }},
        {"a link to another file",
         [](const std::string &o, const std::string &v) {
             WriteFile(v, "untouched");
             (void)!symlink(v.c_str(), o.c_str());
         },
         [](const std::string &o, const std::string &v) {
             struct stat st;
             return lstat(o.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ReadFile(v) == "untouched";
         }},
    };
    std::string duplex = ManualPages("1-3", {"Duplex=DuplexNoTumble"});
    RunResult simplex = RunFilter(ManualPages("1-3"));
    std::vector<uint32_t> ref = BlackDots(ParseJob(simplex.out));
    ASSERT_EQ(ref.size(), 3u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.plant(old, victim);
        RunResult r = RunFilter(duplex);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(HasLine(job.header, "@PJL SET DUPLEX=ON"));
        // Paired back page first, with the white back of the last sheet.
        EXPECT_EQ(BlackDots(ParseJob(r.out)), (std::vector<uint32_t>{ref[1], ref[0], 0, ref[2]}));
        EXPECT_TRUE(c.unchanged(old, victim));
        EXPECT_TRUE(TmpFiles("swspool_job").empty()) << "a spool file was left behind";
        std::string cleanup = "rm -rf '" + old + "' '" + victim + "'";
        ASSERT_EQ(system(cleanup.c_str()), 0);
    }
}

TEST(JobFiles, SpoolingJobsDoNotWaitForEachOtherOrTakeTheirFiles)
{
    // A long two-sided job, and a short one that starts while the long one spools.
    std::string longRas = ManualPages("1-10", {"Duplex=DuplexNoTumble"});
    std::string shortRas = ManualPages("1-2", {"Duplex=DuplexNoTumble"});
    RunOptions lo, so;
    lo.jobId = "41";
    so.jobId = "42";
    RunResult alone = RunFilter(longRas, lo);
    ASSERT_EQ(alone.status, 0) << alone.err.substr(0, 2000);
    Running longRun = StartFilter(longRas, lo);
    usleep(1500 * 1000); // the long job has its first page and its spool file by now
    Running shortRun = StartFilter(shortRas, so);
    RunResult shortRes = Wait(shortRun);
    ASSERT_EQ(shortRes.status, 0) << shortRes.err.substr(0, 2000);
    EXPECT_EQ(ParseJob(shortRes.out).pages.size(), 2u);
    int status;
    EXPECT_EQ(waitpid(longRun.pid, &status, WNOHANG), 0) << "the short job waited for the long one to end";

    // Meanwhile the long job's spool file: its own name, a regular file only its user can read.
    std::vector<std::string> mine = TmpFiles("swspool_job41_");
    ASSERT_EQ(mine.size(), 1u);
    struct stat st;
    ASSERT_EQ(lstat((Root() + "/tmp/" + mine[0]).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());

    RunResult longRes = Wait(longRun);
    ASSERT_EQ(longRes.status, 0) << longRes.err.substr(0, 2000);
    // The short job's clean-up left the running job's file alone: it prints exactly as alone.
    EXPECT_EQ(Payloads(ParseJob(longRes.out)), Payloads(ParseJob(alone.out)));
    EXPECT_EQ(ParseJob(longRes.out).pages.size(), 10u);
    EXPECT_TRUE(TmpFiles("swspool_job").empty());
}

TEST(JobFiles, KilledJobsFilesAreRemovedByTheNextJobOfItsUser)
{
    // CUPS kills a cancelled job's filter: what it had in the shared folder stays
    // behind, its spool file, the accounting tool's answer (an account and its
    // password) or a capability cache not yet renamed to its name.
    const std::string tmp = Root() + "/tmp/";
    auto waitFor = [](const std::string &prefix) {
        for (int waited = 0; TmpFiles(prefix).empty() && waited < 60000; waited += 50)
            usleep(50 * 1000);
    };
    auto killOnceThere = [&waitFor](const Running &job, const std::string &prefix) {
        waitFor(prefix);
        kill(job.pid, SIGKILL);
        EXPECT_EQ(Wait(job).status, 128 + SIGKILL);
        ASSERT_EQ(TmpFiles(prefix).size(), 1u);
    };
    RunOptions spooling;
    spooling.jobId = "51";
    ASSERT_NO_FATAL_FAILURE(killOnceThere(
        StartFilter(ManualPages("1-6", {"Duplex=DuplexNoTumble"}), spooling), "swspool_job51_"));

    // The usual answer name is taken (by a folder, which not even root can unlink),
    // so the tool answers into one with a tag.
    ASSERT_TRUE(InstallAccountingTool());
    ASSERT_EQ(mkdir((tmp + "report_job52.txt").c_str(), 0755), 0);
    RunOptions accounting;
    accounting.jobId = "52";
    accounting.ppd = PpdVariant("rmq0killed", {{"DriverFeature", "\"16\""}});
    accounting.env = {"ATM_SIM_WAIT_MS=8000"};
    Running answering = StartFilter(ManualPages("1"), accounting);
    waitFor("report_job52_");
    // A job that runs meanwhile leaves the answer of one still running alone.
    RunOptions meanwhile;
    meanwhile.jobId = "53";
    EXPECT_EQ(RunFilter(ManualPages("1"), meanwhile).status, 0);
    ASSERT_NO_FATAL_FAILURE(killOnceThere(answering, "report_job52_"));

    // What a kill between making a new cache and renaming it leaves, here and in
    // the job's own temporary folder.
    const std::string jobTmp = Root() + "/jobtmp/";
    mkdir(jobTmp.c_str(), 0700);
    WriteFile(tmp + "q1.dat.0badc0de", std::string(1026, '\0'));
    WriteFile(jobTmp + "PRN.dat.5eed0001", std::string(1026, '\0'));

    // What is not a leftover of this user's jobs stays: another user's files, names
    // that only look like ours, and FIFOs of ours (nor may they hold the clean-up).
    enum Kind { Foreign, Ours, Fifo };
    const struct {
        const char *name;
        Kind kind;
    } planted[] = {
        {"swspool_job77_0badf00d.dat", Foreign},
        {"swspool_job78_1234.dat", Ours},
        {"swspool_job79_0000beef.dat.keep", Ours},
        {"swspool_job80_cafe0001.dat", Fifo},
        {"report_job82_0badf00d.txt", Foreign},
        {"report_job.txt", Ours},
        {"report_job83.txt.keep", Ours},
        {"report_job84_cafe0001.txt", Fifo},
        {"q1.dat", Ours},
        {"q1.dat.0badf00d", Foreign},
        {"q1.dat.1234", Ours},
        {"q1.dat.cafe0001", Fifo},
    };
    std::vector<std::string> kept = {"report_job52.txt"};
    for (const auto &p : planted) {
        const std::string path = tmp + p.name;
        if (p.kind == Fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else {
            WriteFile(path, std::string(1026, '\0'));
        }
        if (p.kind == Foreign) {
            ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0);
        }
        kept.push_back(p.name);
    }

    RunOptions next;
    next.env = {"TMPDIR=" + jobTmp};
    RunResult r = RunFilter(ManualPages("1"), next);
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
    std::vector<std::string> left = TmpFiles("");
    std::sort(left.begin(), left.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept) << "a killed job's file is still in the folder, or another was taken";
    EXPECT_NE(access((jobTmp + "PRN.dat.5eed0001").c_str(), F_OK), 0);
    for (const std::string &k : kept)
        remove((tmp + k).c_str());
}

TEST(JobFiles, JobThatCannotSpoolIsCancelledNotSentUnpaired)
{
    // The temporary folder is a plain file: no spool file can be made there.
    std::string duplex = ManualPages("1-3", {"Duplex=DuplexNoTumble"});
    std::string simplex = ManualPages("1-2", {"copies=2"});
    const std::string tmp = Root() + "/tmp";
    ASSERT_EQ(system(("rm -rf '" + tmp + "'").c_str()), 0);
    WriteFile(tmp, "not a folder");
    struct Case {
        const char *name;
        const std::string &raster;
        const char *options;
    };
    const Case cases[] = {{"two-sided", duplex, ""}, {"collated copies", simplex, "Collate=True"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions o;
        o.options = c.options;
        RunResult r = RunFilter(c.raster, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("ERROR: Unable to create the spool file\n"), std::string::npos)
            << r.err.substr(0, 2000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(job.pages.empty()) << "pages went out without their pairing or copies";
        EXPECT_EQ(job.close, CloseSequence(true));
    }
    unlink(tmp.c_str());
    mkdir(tmp.c_str(), 0755); // as the other tests of this process find it
}

TEST(JobFiles, AccountingAnswerKeepsTheJobIdAndIsDeletedAfterReading)
{
    ASSERT_TRUE(InstallAccountingTool());
    std::string ppd = PpdVariant("rmq0files", {{"DriverFeature", "\"16\""}});
    std::string ras = ManualPages("1");
    // Long titles that share their first 200 bytes; one of them in Chinese.
    const std::string latin(200, 'T'), chinese = [] {
        std::string s;
        for (int i = 0; i < 70; i++)
            s += "\xe6\x8a\xa5"; // one three-byte character
        return s;
    }();
    struct Case {
        std::string title, jobId;
    };
    const Case cases[] = {{latin + " first", "31"}, {latin + " second", "32"}, {chinese, "33"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.jobId);
        std::string log = Root() + "/atm-files.log";
        unlink(log.c_str());
        RunOptions o;
        o.ppd = ppd;
        o.title = c.title;
        o.jobId = c.jobId;
        o.env = {"ATM_SIM_LOG=" + log};
        RunResult r = RunFilter(ras, o);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        EXPECT_TRUE(HasLine(job.header, "@PJL SET USERNAME=\"acct-user\""));

        std::string path = JsonArgument(log);
        std::string tail = "_job" + c.jobId + ".txt";
        ASSERT_GT(path.size(), Root().size() + tail.size());
        EXPECT_EQ(path.rfind(Root() + "//tmp//", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - tail.size()), tail) << path;
        std::string name = path.substr(Root().size());
        EXPECT_LE(name.size(), 127u);
        // The title is shortened whole characters at a time.
        std::string titlePart = name.substr(7, name.size() - 7 - tail.size());
        EXPECT_EQ(c.title.rfind(titlePart, 0), 0u);
        EXPECT_EQ(titlePart.size() % (c.jobId == "33" ? 3 : 1), 0u);
        // The answer with the account's name and password is not left lying around.
        EXPECT_NE(access(path.c_str(), F_OK), 0);
    }
}
