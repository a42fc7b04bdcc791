// Job set-up: arguments, PPD attributes, options, the feature set of the job,
// the status monitor, the printer's capabilities and the two helper threads.
#include "driver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "leftovers.h"
#include "velmora.h"

static const char kMain[] = "main";
static const char kRule[] = "---------------------------------------------";

int DriverStartArgs(DriverJob &job, int argc, char **argv)
{
    job.argc = argc;
    job.argv = argv;
    if (argc != 6 && argc != 7) {
        puts("Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]");
        return 1;
    }
    if (argc == 7) {
        job.fd = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (job.fd < 0) {
            CupsLinef("ERROR: ", "Unable to open print file: %s", strerror(errno));
            return 1;
        }
    } else {
        job.fd = 0;
    }
    gJobID = atoi(argv[1]);
    DbgMessage(kMain, "argc = %d, %ld", argc, (long)argc);
    for (int i = 0; i < argc; i++)
        DbgMessage(kMain, "argv[%d] = %s", i, argv[i]);
    snprintf(job.jobID, sizeof job.jobID, "%s", argv[1]);
    LogTime(job.jobID, "filter in");
    job.inras = RasterOpenInput(job.rasterIn, job.fd);
    return DRIVER_CONTINUE;
}

static const char *AttrValue(ppd_file_t *ppd, const char *name)
{
    if (!ppd)
        return nullptr;
    ppd_attr_t *a = ppdFindAttr(ppd, name, nullptr);
    return (a && a->value) ? a->value : nullptr;
}

void LogDriverFeatureBits(DWORD f)
{
    static const struct {
        DWORD mask;
        const char *label;
    } bits[] = {
        {DRVF_DISABLE_COMPRESS, "Disable Compress"},
        {DRVF_BORDER_FILTER, "Border filter"},
        {DRVF_RMQ_MODE0, "RMQ Mode 0"},
        {DRVF_RMQ_MODE1, "RMQ Mode 1"},
        {DRVF_ABORT_ON_ERROR, "Abort job when error"},
        {DRVF_DISCONNECT_DETECT, "Disconnection detect"},
        {DRVF_DISABLE_STATUS_MONITOR, "Disable status monitor"},
        {DRVF_HIDDEN_WATERMARK, "Hidden watermark"},
        {DRVF_ZR4_CHIP, "ZR4 Chip"},
        {DRVF_A3, "A3"},
        {DRVF_PORVIK, "Porvik"},
    };
    DbgMessage(kMain, "%s", kRule);
    for (const auto &b : bits)
        DbgMessage(kMain, "%s = %d", b.label, (f & b.mask) ? 1 : 0);
    DbgMessage(kMain, "%s", kRule);
}

void LogCapabilityBits(const BYTE *feature)
{
    static const char *const labels[CAP_COUNT] = {
        "Jbig",    "storage job", "QTY",         "LSU",       "Checksum",
        "IMPR",    "raw data",    "two bit 600", "SSL",       "SW tonersave",
        "600 RET", "Accounting",  "S3",          "1200*1200", "Disable auto",
    };
    DbgMessage(kMain, "%s", kRule);
    for (int i = 0; i < CAP_COUNT; i++)
        DbgMessage(kMain, "%s = %d", labels[i], HasCap(feature, i) ? 1 : 0);
    DbgMessage(kMain, "%s", kRule);
}

void DriverReadPpd(DriverJob &job)
{
    const char *ppdName = getenv("PPD");
    job.ppd = ppdName ? ppdOpenFile(ppdName) : nullptr;
    if (job.ppd)
        BuildPaperList(job.ppd);
    const char *v;
    job.MaxMediaWidth = (v = AttrValue(job.ppd, "MaxMediaWidth")) ? (float)atof(v) : 595.0f;
    job.MaxMediaHeight = (v = AttrValue(job.ppd, "MaxMediaHeight")) ? (float)atof(v) : 842.0f;
    snprintf(job.DriverVersion, sizeof job.DriverVersion, "%s",
             (v = AttrValue(job.ppd, "DriverVersion")) ? v : "");
    snprintf(job.Toolfd, sizeof job.Toolfd, "%s", (v = AttrValue(job.ppd, "Toolfd")) ? v : "");
    job.DriverFeature = (v = AttrValue(job.ppd, "DriverFeature")) ? (DWORD)atoi(v) : 0;
    DbgMessage(kMain, "MaxMediaWidth = %f", job.MaxMediaWidth);
    DbgMessage(kMain, "MaxMediaHeight = %f", job.MaxMediaHeight);
    DbgMessage(kMain, "DriverVersion = %s", job.DriverVersion);
    DbgMessage(kMain, "Toolfd = %s", job.Toolfd);
    DbgMessage(kMain, "DriverFeature = %08x", (unsigned)job.DriverFeature);
    LogDriverFeatureBits(job.DriverFeature);
}

void DriverReadOptions(DriverJob &job)
{
    job.num_options = cupsParseOptions(job.argv[5], 0, &job.options);
    DbgMessage(kMain, "num_options = %d", job.num_options);
    for (int i = 0; i < job.num_options; i++) {
        const cups_option_t &o = job.options[i];
        DbgMessage(kMain, "option(%d): %s = %s", i, o.name, o.value);
        if (strcasecmp(o.name, "number-up") == 0)
            job.numUP = str2Int(o.value);
        else if (strcmp(o.name, "Collate") == 0 && strcasecmp(o.value, "true") == 0)
            job.bCollate = 1;
    }
    DbgMessage(kMain, "numUP = %d", job.numUP);
    DbgMessage(kMain, "bCollate = %d", job.bCollate);
    if (job.ppd) {
        ppdMarkDefaults(job.ppd);
        cupsMarkOptions(job.ppd, job.num_options, job.options);
    }
}

bool DriverSetup(DriverJob &job)
{
    char **argv = job.argv;
    // Step 6: counters and flags of a fresh job.
    job.page = 0;
    job.FlushPage = 0;
    count_bytes = 0;
    gSaveToFile = 0;
    gOutputSize = 0;
    gJbigThreadExit = 0;
    gStatusThreadExit = 0;
    gCancelJob = 0;
    job.JobPending = IsJobPending(argv[0], gJobID);
    // What this user's killed jobs left (CUPS kills a cancelled filter) goes now.
    RemoveLeftovers();

    // Step 7: the ring.
    for (int i = 0; i < MAX_RING_SLOTS; i++) {
        job.lpJob[i].PageIndex = i;
        job.lpJob[i].lpbuf = nullptr;
        job.lpJob[i].flag.store(0, std::memory_order_relaxed);
        job.lpJob[i].PageThreadId = 0;
    }
    LogTime(job.jobID, "check printer list");

    // Step 8: the queue's device URI; a save-to-file backend needs no status monitor.
    cups_dest_t *dests = nullptr;
    int ndests = cupsGetDests(&dests);
    for (int i = 0; i < ndests; i++) {
        if (strcmp(dests[i].name, argv[0]) != 0)
            continue;
        const char *uri = cupsGetOption("device-uri", dests[i].num_options, dests[i].options);
        if (uri) {
            DbgMessage(kMain, "device-uri = %s", uri);
            snprintf(job.PrinterPortName, sizeof job.PrinterPortName, "%s", uri);
            if (strstr(uri, "SaveFileBackend")) {
                DbgMessage(kMain, "IgnorePSM");
                job.IgnorePSM = 2;
            }
        }
    }
    cupsFreeDests(ndests, dests);
    if (job.DriverFeature & DRVF_DISABLE_STATUS_MONITOR) {
        DbgMessage(kMain, "IgnorePSM");
        job.IgnorePSM = 1;
    }

    // Step 9: the writer.
    if (pthread_create(&job.writer, nullptr, JbigThread, job.lpJob) == 0) {
        job.writerRunning = true;
        WaitWriterStarted();
    }
    DbgMessage(kMain, "gjbig_id = %d", job.writerRunning ? 1 : 0);
    if (!job.writerRunning) {
        // Without the writer no page would ever leave the ring.
        RasterError("Unable to start the output writer");
        return false;
    }

    // Steps 10-11: the status monitor.
    LoadStatusMonitor(job.myPrinters, &job.printerNumber, &job.SelectPrnter, argv[0], job.Toolfd);
    DbgMessage(kMain, "SelectPrnter = %d", job.SelectPrnter);
    job.IsPSM_Exist = WakeUpAndProbePSM(job.myPrinters, job.SelectPrnter);
    if (job.IgnorePSM == 0)
        StatusMonitorEnable(argv[0]);

    // Steps 12-13: the printer's capabilities.
    QueryCapability(job.myPrinters, job.SelectPrnter, job.IgnorePSM, argv[0], job.PrnCapInfo);
    if ((job.DriverFeature & DRVF_ZR4_CHIP) && (job.DriverFeature & DRVF_A3)) {
        job.PrnCapInfo[0] |= 0x20;
        DbgMessage(kMain, "Setting IMPR");
    }
    if (job.IgnorePSM == 2)
        DbgMessage(kMain, "Feature = %0x, %0x", job.PrnCapInfo[0], job.PrnCapInfo[1]);
    LogCapabilityBits(job.PrnCapInfo);

    // Step 14: supply attributes for CUPS.
    CupsLine("ATTR: ", "marker-types=toner");
    CupsLine("ATTR: ", "marker-names=toner");
    CupsLine("ATTR: ", "marker-colors=#000000");
    CupsLine("ATTR: ", "marker-high-levels=100");
    CupsLinef("ATTR: ", "marker-levels=%d", 75);
    CupsLine("ATTR: ", "marker-low-levels=0");
    CupsLine("ATTR: ", "marker-message='Printer Info'");

    // Step 15: the status thread; with abort-on-error its first report releases the job.
    if (job.DriverFeature & DRVF_ABORT_ON_ERROR)
        gErrorSuspend.store(1, std::memory_order_release);
    job.PSM_info.WorkPrinter = job.SelectPrnter >= 0 ? &job.myPrinters[job.SelectPrnter] : nullptr;
    job.PSM_info.IsPSMExist = job.IsPSM_Exist;
    job.PSM_info.DriverFeature = job.DriverFeature;
    if (pthread_create(&job.status, nullptr, CheckPrinterStatus, &job.PSM_info) == 0)
        job.statusRunning = true;
    else
        gErrorSuspend.store(0, std::memory_order_release); // nobody could ever release it
    DbgMessage(kMain, "gstatus_id = %d", job.statusRunning ? 1 : 0);

    LogTime(job.jobID, "start page data");
    return true;
}
