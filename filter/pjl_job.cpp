// Job start on the first page: printer location, accounting tool, save-to-file
// copy, job header, spool file and the PPD's JCL text.
#include "pjl_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <cups/cups.h>

#include "leftovers.h"
#include "paths.h"
#include "velmora.h"

extern char **environ;

std::string FileNamePart(const char *text)
{
    std::string s = text ? text : "";
    for (char &c : s)
        if (c == '/' || (unsigned char)c < 0x20)
            c = '_';
    return s;
}

std::string JsonFileName(const char *title, const char *jobId, const char *tag)
{
    // The job id keeps two jobs of the same title apart (the answer holds an
    // account and its password): the title part gives way when the name is too long.
    std::string id = FileNamePart(jobId) + FileNamePart(tag);
    std::string t = FileNamePart(title);
    size_t fixed = (size_t)snprintf(nullptr, 0, rpaths::kJsonFileFmt, "", id.c_str());
    size_t room = fixed < JSON_NAME_MAX ? JSON_NAME_MAX - fixed : 0;
    if (t.size() > room) {
        size_t cut = room;
        while (cut > 0 && ((unsigned char)t[cut] & 0xC0) == 0x80)
            cut--; // not inside a UTF-8 character
        t.resize(cut);
    }
    std::vector<char> name(fixed + t.size() + 1);
    snprintf(name.data(), name.size(), rpaths::kJsonFileFmt, t.c_str(), id.c_str());
    return name.data();
}

bool IsJsonFileName(const char *name)
{
    // "<title>_job<id>.txt", or with "_<tag>" after the id; the title may be empty.
    const char *fmt = strrchr(rpaths::kJsonFileFmt, '/') + 1; // "%s_job%s.txt"
    const char *idAt = strstr(fmt + 2, "%s");
    const std::string mark(fmt + 2, idAt), tail = idAt + 2;
    std::string n = name;
    if (n.size() < tail.size() || n.compare(n.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    n.resize(n.size() - tail.size());
    auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (n.size() > 9 && n[n.size() - 9] == '_' && std::all_of(n.end() - 8, n.end(), isHex))
        n.resize(n.size() - 9);
    size_t digits = 0;
    while (digits < n.size() && n[n.size() - 1 - digits] >= '0' && n[n.size() - 1 - digits] <= '9')
        digits++;
    return digits > 0 && n.size() >= digits + mark.size() &&
           n.compare(n.size() - digits - mark.size(), mark.size(), mark) == 0;
}

int CreateJsonFile(const char *title, const char *jobId, std::string &path)
{
    // A file of ours left at the usual name by a killed job is gone by now (RemoveLeftovers):
    // whatever is there belongs to another user or to a job still running.
    path = RootedPath(JsonFileName(title, jobId));
    int fd = CreateHeldAt(AT_FDCWD, path, O_RDWR);
    if (fd < 0 && errno == EEXIST) {
        // The tool is told another name, of this job's own.
        fd = CreateHeldUniqueAt(
            AT_FDCWD,
            [&](unsigned tag) {
                char t[16];
                snprintf(t, sizeof t, "_%08x", tag);
                return RootedPath(JsonFileName(title, jobId, t));
            },
            O_RDWR, path);
    }
    return fd;
}

void RunAccountingTool(const std::string &tool, const std::string &jsonPath, const char *title)
{
    // No shell: the title reaches the tool as one argument whatever it holds.
    std::string t = title ? title : "";
    char *args[] = {const_cast<char *>(tool.c_str()),     const_cast<char *>("-f"),
                    const_cast<char *>(jsonPath.c_str()), const_cast<char *>("-n"),
                    const_cast<char *>(t.c_str()),        nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // Standard input is the raster, standard output the printer stream and every
    // line on standard error a message to CUPS: keep the tool off all three.
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    // The tool starts with the signal handling a program expects, not the filter's.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t def;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    sigaddset(&def, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = posix_spawn(&pid, tool.c_str(), &fa, &attr, args, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        DbgMessage("StartJob", "spawn %s fail, errno = %d", tool.c_str(), rc);
        return;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

DWORD StartJob(cups_page_header2_t *inheader, char **argv, BOOL *bDriverDoCollate, int flag, ppd_file_t *ppd,
               BOOL bCollate, int numUP, DWORD *nCopies, const BYTE *feature, DWORD DriverFeature,
               const char *DriverVersion, const char *AccountName, const char *AccountPwd,
               const char *PrinterPortName)
{
    static const char fn[] = "StartJob";
    (void)flag;
    DbgMessage(fn, "In");

    char PrinterLocation[260] = {0};
    cups_dest_t *dests = nullptr;
    int ndests = cupsGetDests(&dests);
    for (int i = 0; i < ndests; i++) {
        if (strcmp(dests[i].name, argv[0]) != 0)
            continue;
        const char *loc = cupsGetOption("printer-location", dests[i].num_options, dests[i].options);
        if (loc && loc[0]) {
            DbgMessage(fn, "location = %s", loc);
            snprintf(PrinterLocation, sizeof PrinterLocation, "%s", loc);
        }
    }
    cupsFreeDests(ndests, dests);

    std::string jsonPath;
    int jsonFd = -1;
    if (DriverFeature & DRVF_RMQ_MODE0) {
        // The tool answers only into a file this job has just made for it.
        jsonFd = CreateJsonFile(argv[3], argv[1], jsonPath);
        if (jsonFd < 0) {
            jsonPath.clear();
            DbgMessage(fn, "create JSON file fail, errno = %d", errno);
        } else {
            DbgMessage(fn, "szJsonFile = %s", jsonPath.c_str());
            std::string cmd = std::string(rpaths::kAtmTool) + " -f " + jsonPath.substr(strlen(TestRoot())) +
                              " -n " + (argv[3] ? argv[3] : "");
            cmd.resize(std::min<size_t>(cmd.size(), 127));
            DbgMessage(fn, "szAtmPar = %s", cmd.c_str());
            RunAccountingTool(RootedPath(rpaths::kAtmTool), jsonPath, argv[3]);
        }
    }

    // The copy folder is used only when nobody else can read or plant files in it;
    // the copy is made in the very folder checked, never through a link.
    int saveDir = OpenTrustedDir(RootedPath(rpaths::kSaveDir));
    if (saveDir >= 0) {
        char name[300];
        snprintf(name, sizeof name, rpaths::kSaveFileInDirFmt, FileNamePart(argv[1]).c_str());
        stdoutPRN = FopenPrivateAt(saveDir, name, "w+b");
        close(saveDir);
    }

    *bDriverDoCollate = (bCollate == 1 && inheader->NumCopies > 1) ? 1 : 0;
    DbgMessage(fn, "bDriverDoCollate = %d", *bDriverDoCollate);
    *nCopies = inheader->NumCopies;
    StartPageCount(PrinterCopies(inheader, *bDriverDoCollate));

    PJL_WriteStartJobCmd(inheader, numUP, argv[0], argv[2], argv[3], jsonPath.c_str(), *bDriverDoCollate,
                         PrinterLocation, feature, DriverFeature, DriverVersion, AccountName, AccountPwd,
                         PrinterPortName);

    if (inheader->Duplex || *bDriverDoCollate) {
        DbgMessage(fn, "Create Spool File");
        // Unspooled, the sheets would go out unpaired or the copies missing: cancel instead.
        if (!SpoolCreate()) {
            RasterError("Unable to create the spool file");
            gCancelJob.store(1, std::memory_order_release);
        }
    }

    DWORD jclLen = 0;
    if (ppd && ppd->jcl_begin) {
        jclLen = (DWORD)strlen(ppd->jcl_begin);
        DbgMessage(fn, "jcl_begin = %s, len = %d", ppd->jcl_begin, (int)jclLen);
        putchar(0x1b);
        WritePort(ppd->jcl_begin, 1, jclLen, stdout);
    }

    // The accounting answer has been read into the job header; no copy of it stays behind.
    if (jsonFd >= 0) {
        unlink(jsonPath.c_str());
        close(jsonFd);
    }

    DbgMessage(fn, "Out");
    return jclLen;
}
