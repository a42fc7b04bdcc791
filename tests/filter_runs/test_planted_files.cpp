// Whole runs of the real filter as a user of its own (CUPS runs it as lp)
// while another local user has planted FIFOs, links and files of their own
// at the names it uses in the shared temporary folder: the job neither hangs
// nor writes through them nor takes them for its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run_util.h"

using namespace runs;

namespace
{

constexpr int kFilterUid = 7;   // lp, the user CUPS runs its filters as
constexpr int kOtherUid = 4321; // another local user

// A test root the filter's user can reach, with a temporary folder shared like /tmp (1777).
struct SharedRoot : TempDir {
    SharedRoot() : TempDir("rp-shared")
    {
        chmod(path.c_str(), 0755);
        MakeDir("/tmp", 01777, 0);
        MakeDir("/log", 0777, 0);
        MakeDir("/usr", 0755, 0);
        MakeDir("/usr/bin", 0755, 0);
    }
    // The first place the status-monitor library is looked for, and the stand-in's state.
    std::string Library() const { return path + "/usr/bin/hwbridge.so"; }
    std::string State() const { return path + "/hwbridge-state"; }
    void MakeDir(const std::string &rel, mode_t mode, uid_t owner)
    {
        mkdir((path + rel).c_str(), mode);
        chmod((path + rel).c_str(), mode);
        if (lchown((path + rel).c_str(), owner, owner) != 0) {
        }
    }
    // A queue description readable by the filter's user.
    std::string Ppd(const std::string &name, const char *driverFeature)
    {
        std::string p = path + "/" + name + ".ppd";
        WriteFile(p, ReadFile(PpdVariant(name, {{"DriverFeature", driverFeature}})), 0644);
        return p;
    }
    RunOptions Options()
    {
        RunOptions o;
        o.root = path;
        o.uid = kFilterUid;
        o.killAfterMs = 40000; // a one-page job takes a few seconds
        return o;
    }
};

enum Kind { Fifo, ForeignFile, LinkToFilterUsersFile };

// Plants `kind` at `at` as the other user; a link points at `target`.
void Plant(Kind kind, const std::string &at, const std::string &content = "", const std::string &target = "")
{
    if (kind == Fifo) {
        ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
        chmod(at.c_str(), 0666); // open to everyone, whatever the umask
    } else if (kind == ForeignFile) {
        WriteFile(at, content, 0666);
    } else {
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
    }
    ASSERT_EQ(lchown(at.c_str(), kOtherUid, kOtherUid), 0);
}

bool IsFifo(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// A capability block with the given first feature bytes.
std::string CapBlock(unsigned char f0, unsigned char f1)
{
    std::string b(1026, '\0');
    b[0] = (char)f0;
    b[1] = (char)f1;
    return b;
}

std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(PlantedFiles, CacheAndLogNamesTakenByOthersNeitherHangNorFeedTheJob)
{
    SharedRoot root;
    const std::string ras = ManualPages("1");
    const std::string lib = root.Library(), state = root.State();
    WriteFile(state, "printer=q1 usb://sim\ncap=00 01\n", 0644); // answers SSL
    const std::string ssl = "@PJL SET ENCRYPTION = SSL";
    struct Case {
        const char *what;
        const char *driverFeature;
        std::string planted; // below the root
        Kind kind;
        std::string content; // of a planted file
        bool library;        // the status monitor answers the capability query
        bool expectSsl;
    };
    const Case cases[] = {
        {"the queue's cache is a FIFO", "\"0\"", "/tmp/q1.dat", Fifo, "", false, false},
        {"the shared cache is a FIFO", "\"256\"", "/tmp/PRN.dat", Fifo, "", false, false},
        {"the cache to write is a FIFO", "\"0\"", "/tmp/q1.dat", Fifo, "", true, true},
        {"the cache is another user's", "\"0\"", "/tmp/q1.dat", ForeignFile, CapBlock(0, 1), false, false},
        {"the cache to write is another user's", "\"0\"", "/tmp/q1.dat", ForeignFile, CapBlock(0, 0), true,
         true},
        {"the debug log is a FIFO", "\"0\"", "/tmp/cups/printer.log", Fifo, "", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.library) {
            ASSERT_EQ(system(("cp " HWBRIDGE_SIM " " + lib + " && chmod 0755 " + lib).c_str()), 0);
        }
        if (c.planted.rfind("/tmp/cups/", 0) == 0)
            root.MakeDir("/tmp/cups", 0700, kFilterUid);
        const std::string planted = root.path + c.planted;
        Plant(c.kind, planted, c.content);
        RunOptions o = root.Options();
        o.ppd = root.Ppd("planted", c.driverFeature);
        o.env = {"HWBRIDGE_SIM_STATE=" + state};
        RunResult r = RunFilter(ras, o);
        EXPECT_EQ(r.status, 0) << r.err.substr(0, 3000);
        Job job = ParseJob(r.out);
        EXPECT_TRUE(job.ok) << job.problem;
        EXPECT_EQ(job.pages.size(), 1u);
        EXPECT_EQ(HasLine(job.header, ssl), c.expectSsl);
        if (c.kind == Fifo) {
            EXPECT_TRUE(IsFifo(planted));
        } else {
            EXPECT_EQ(ReadFile(planted), c.content) << "another user's file was written";
        }
        ASSERT_EQ(system(("rm -rf '" + root.path + "/tmp/'* '" + lib + "'").c_str()), 0);
    }
}

TEST(PlantedFiles, CacheNameTakenByAnotherUserKeepsWhatTheFirstJobLearnt)
{
    // Another user makes the queue's cache name in /tmp first: the printer asks the
    // first job for encrypted pages, and the second job, when the printer cannot be
    // asked, must still know that from the cache.
    SharedRoot root;
    const std::string ras = ManualPages("1"), state = root.State();
    ASSERT_EQ(system(("cp " HWBRIDGE_SIM " " + root.Library() + " && chmod 0755 " + root.Library()).c_str()),
              0);
    root.MakeDir("/spool", 0755, 0);
    const std::string taken = root.path + "/tmp/q1.dat";
    const std::string ssl = "@PJL SET ENCRYPTION = SSL";
    struct Case {
        const char *what;
        std::string tmpdir; // the job's TMPDIR, below the root
        mode_t mode;
        bool learnt;
    };
    const Case cases[] = {
        // As CUPS hands every filter its temporary folder: root's, group lp, sticky.
        {"the print system's temporary folder", "/spool/tmp", 01770, true},
        // One that anybody may write to is no better than /tmp: the shared name it is.
        {"a temporary folder open to everyone", "/spool/open", 01777, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string tmpdir = root.path + c.tmpdir;
        mkdir(tmpdir.c_str(), c.mode);
        chmod(tmpdir.c_str(), c.mode);
        ASSERT_EQ(chown(tmpdir.c_str(), 0, kFilterUid), 0);
        Plant(ForeignFile, taken, CapBlock(0, 0));
        RunOptions o = root.Options();
        o.ppd = root.Ppd("taken", "\"0\"");
        for (const char *answer : {"cap=00 01\n", "cap=00 01\ncap_fail=3\n"}) {
            WriteFile(state, std::string("printer=q1 usb://sim\n") + answer, 0644);
            o.env = {"HWBRIDGE_SIM_STATE=" + state, "TMPDIR=" + tmpdir};
            RunResult r = RunFilter(ras, o);
            EXPECT_EQ(r.status, 0) << r.err.substr(0, 3000);
            Job job = ParseJob(r.out);
            ASSERT_TRUE(job.ok) << job.problem;
            EXPECT_EQ(job.pages.size(), 1u);
            const bool asked = std::string(answer).find("cap_fail") == std::string::npos;
            EXPECT_EQ(HasLine(job.header, ssl), asked || c.learnt) << answer;
        }
        EXPECT_EQ(ReadFile(taken), CapBlock(0, 0)) << "another user's file was written";
        EXPECT_EQ(Entries(tmpdir),
                  c.learnt ? std::vector<std::string>{"q1.dat"} : std::vector<std::string>{});
        ASSERT_EQ(system(("rm -rf '" + root.path + "/tmp/'* '" + tmpdir + "'").c_str()), 0);
    }
}

TEST(PlantedFiles, AccountingAnswerGoesOnlyIntoAFileOfTheJobsOwn)
{
    SharedRoot root;
    ASSERT_TRUE(InstallAccountingTool(root.path));
    const std::string ras = ManualPages("1");
    const std::string fixed = root.path + "//tmp//report_job12.txt", log = root.path + "/log/atm.log";
    root.MakeDir("/home", 0755, 0);
    root.MakeDir("/home/lp", 0700, kFilterUid);
    const std::string mine = root.path + "/home/lp/notes.txt";
    WriteFile(mine, "the filter user's own notes", 0600);
    ASSERT_EQ(chown(mine.c_str(), kFilterUid, kFilterUid), 0);
    struct Case {
        const char *what;
        bool plant;
        Kind kind;
    };
    const Case cases[] = {
        {"the name is free", false, Fifo},
        {"another user's empty file", true, ForeignFile},
        {"a link to a file of the filter's user", true, LinkToFilterUsersFile},
        {"a FIFO", true, Fifo},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.plant) {
            Plant(c.kind, fixed, "", mine);
        }
        unlink(log.c_str());
        RunOptions o = root.Options();
        o.ppd = root.Ppd("rmq0", "\"16\"");
        o.env = {"ATM_SIM_LOG=" + log};
        RunResult r = RunFilter(ras, o);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);
        Job job = ParseJob(r.out);
        ASSERT_TRUE(job.ok) << job.problem;
        // The job keeps its accounting whoever holds the usual name.
        EXPECT_TRUE(HasLine(job.header, "@PJL SET FAUTHCODE=\"A1B2C3\""));
        EXPECT_TRUE(HasLine(job.header, "@PJL SET USERNAME=\"acct-user\""));
        EXPECT_TRUE(HasLine(job.header, "@PJL SET ACCTPASS=\"acct-pass\""));
        // The account's password goes to the printer only, never into the log.
        EXPECT_EQ(r.err.find("acct-pass"), std::string::npos);

        // The tool was pointed at a file of the job's own: the usual name when free.
        std::string path = JsonArgument(log);
        ASSERT_FALSE(path.empty()) << ReadFile(log);
        if (c.plant) {
            EXPECT_NE(path, fixed);
        } else {
            EXPECT_EQ(path, fixed);
        }
        EXPECT_EQ(path.rfind(root.path + "//tmp//report_job12", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ".txt") << path;

        // Nothing planted was written, and the answer is gone.
        if (c.kind == ForeignFile) {
            EXPECT_EQ(ReadFile(fixed), "");
        }
        if (c.kind == Fifo && c.plant) {
            EXPECT_TRUE(IsFifo(fixed));
        }
        EXPECT_EQ(ReadFile(mine), "the filter user's own notes");
        std::vector<std::string> left = Entries(root.path + "/tmp");
        EXPECT_EQ(left, c.plant ? std::vector<std::string>{"report_job12.txt"} : std::vector<std::string>{});
        unlink(fixed.c_str());
    }
}

TEST(PlantedFiles, JobCopyIsNeverWrittenThroughALink)
{
    SharedRoot root;
    const std::string ras = ManualPages("1");
    const std::string saveprn = root.path + "//tmp//saveprn";
    root.MakeDir("/home", 0755, 0);
    const std::string folder = root.path + "/home/copies";
    struct Case {
        const char *what;
        bool link;        // saveprn is the other user's link to the filter user's folder
        uid_t folderUser; // owner of the real folder
        mode_t folderMode;
        bool expectCopy;
    };
    const Case cases[] = {
        {"a link to a folder of the filter's user", true, kFilterUid, 0700, false},
        {"a folder of the filter's user", false, kFilterUid, 0700, true},
        {"a folder of another user that the filter may write to", false, kOtherUid, 0733, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = c.link ? folder : saveprn;
        mkdir(dir.c_str(), c.folderMode);
        chmod(dir.c_str(), c.folderMode);
        ASSERT_EQ(chown(dir.c_str(), c.folderUser, c.folderUser), 0);
        const std::string existing = dir + "/job12.prn";
        if (c.link) {
            WriteFile(existing, "an earlier copy", 0600);
            ASSERT_EQ(chown(existing.c_str(), kFilterUid, kFilterUid), 0);
            Plant(LinkToFilterUsersFile, saveprn, "", folder);
        }
        RunOptions o = root.Options();
        RunResult r = RunFilter(ras, o);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);
        ASSERT_EQ(ParseJob(r.out).pages.size(), 1u);
        if (c.link) {
            EXPECT_EQ(ReadFile(existing), "an earlier copy") << "the copy went through the link";
            EXPECT_EQ(Entries(folder), std::vector<std::string>{"job12.prn"});
        } else if (c.expectCopy) {
            EXPECT_TRUE(ReadFile(existing) == r.out) << "no copy, or not the job's stream";
        } else {
            EXPECT_NE(access(existing.c_str(), F_OK), 0);
        }
        ASSERT_EQ(system(("rm -rf '" + saveprn + "' '" + folder + "'").c_str()), 0);
    }
}
