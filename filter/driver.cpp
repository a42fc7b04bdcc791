// The job driver: the run of one job from the filter arguments to the close,
// and the small job helpers.
#include "driver.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <semaphore.h>
#include <unistd.h>

#include "velmora.h"

static const char kMain[] = "main";

// The SIGTERM handler only posts; this thread writes the log line.
static sem_t gTermSem;
static std::atomic<int> gTermWatcherStop{0};

void term(int signum)
{
    (void)signum;
    int saved = errno;
    CupsLine("STATE: ", "-错误");
    sem_post(&gTermSem);
    errno = saved;
}

static void *TermWatcher(void *)
{
    for (;;) {
        while (sem_wait(&gTermSem) != 0 && errno == EINTR) {
        }
        if (gTermWatcherStop.load(std::memory_order_acquire))
            return nullptr;
        DbgMessage("term", "Spool cancel!, id = %d", gJobID);
    }
}

BOOL IsJobPending(const char *PrinterName, int JobID)
{
    static const char fn[] = "IsJobPending";
    cups_job_t *jobs = nullptr;
    int num_jobs = cupsGetJobs(&jobs, PrinterName, 0, CUPS_WHICHJOBS_ALL);
    DbgMessage(fn, "num_jobs = %d", num_jobs);
    BOOL pending = FALSE;
    for (int i = 0; i < num_jobs; i++) {
        if (jobs[i].id != JobID)
            continue;
        DbgMessage(fn, "JobID = %d", jobs[i].id);
        DbgMessage(fn, "PrinterName = %s", PrinterName);
        DbgMessage(fn, "job_state = %d", (int)jobs[i].state);
        pending = jobs[i].state == IPP_JOB_PENDING;
    }
    cupsFreeJobs(num_jobs, jobs);
    return pending;
}

void LogTime(const char *jobID, const char *message)
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    DbgMessage("LogTime", "Job %s,%s,%d/%d/%d-%d:%d:%d", jobID, message, t.tm_year + 1900, t.tm_mon + 1,
               t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

void BuildPaperList(ppd_file_t *ppd)
{
    for (PAPERFORMAT &row : gPaperFormat) {
        if (ppd && ppdPageSize(ppd, row.paper_name)) {
            row.enable = 1;
            DbgMessage("BuildPaperList", "support = %s", row.paper_name);
        }
    }
}

void getFilePath()
{
    char exePath[128] = {0};
    if (getcwd(exePath, sizeof exePath))
        DbgMessage("getFilePath", "Current working dir: %s", exePath);
}

void KeepPageBuffers()
{
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

int RunFilter(int argc, char **argv)
{
    KeepPageBuffers();
    DriverJob *jobp = new DriverJob; // the ring is large: keep it off the stack
    DriverJob &job = *jobp;
    job.jobtick = GetTickCount();
    getFilePath();

    sem_init(&gTermSem, 0, 0);
    pthread_t watcher;
    bool watching = pthread_create(&watcher, nullptr, TermWatcher, nullptr) == 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = term;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    DbgMessage(kMain, "getpid id = %d, filter2", (int)getpid());

    int rc = DriverStartArgs(job, argc, argv);
    if (rc == DRIVER_CONTINUE) {
        DriverReadPpd(job);
        DriverReadOptions(job);
        if (DriverSetup(job) && DriverPageLoop(job))
            DriverDrain(job);
        rc = DriverClose(job);
    }

    // Handler off before its semaphore goes away.
    signal(SIGTERM, SIG_DFL);
    if (watching) {
        gTermWatcherStop.store(1, std::memory_order_release);
        sem_post(&gTermSem);
        pthread_join(watcher, nullptr);
    }
    sem_destroy(&gTermSem);
    delete jobp;
    return rc;
}
