// Binding of the status-monitor library: search order, entry lookup, the
// queue's place in the printer list, wake-up and the PSM probe.
#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binding_root.h"
#include "rasterpress.h"
#include "statusmonitor.h"

namespace {

struct Placement {
    const char *lib; // SIM_FULL_LIB or SIM_PARTIAL_LIB
    std::string fixedPath;
};

std::string loadedFrom()
{
    Dl_info info;
    if (!fnGetPrinterList_s || !dladdr(reinterpret_cast<void *>(fnGetPrinterList_s), &info) || !info.dli_fname)
        return "";
    std::string f = info.dli_fname;
    const std::string &root = bindingRoot();
    return f.compare(0, root.size(), root) == 0 ? f.substr(root.size()) : f;
}

int boundEntries()
{
    return !!fnGetPrinterList_s + !!fnSendPrinterControl + !!fnQueryPrinterStatus + !!fnReadWriteMemory +
           !!fnReadWriteMemoryEx + !!fnIsPSMRunning + !!fnWeakupNetPrinter;
}

class Binding : public ::testing::Test {
protected:
    void SetUp() override
    {
        bindingRoot();
        simenv::removeLibraries(bindingRoot());
        writeSimState("printer=q1 socket://10.0.0.5:9100\n");
    }
    void TearDown() override
    {
        UnloadStatusMonitor();
        simenv::removeLibraries(bindingRoot());
    }
    PrinterAttribute printers[MAX_SM_PRINTERS];
    int count = -7, select = -7;
};

} // namespace

TEST_F(Binding, SearchOrderAndMissingEntries)
{
    const std::string longTool(110, 'a');
    // "/opt/Quorvel/<110 a>/hwbridge.so" does not fit the 128-byte path; its cut form must not load.
    const std::string cutPath = ("/opt/Quorvel/" + longTool + "/hwbridge.so").substr(0, 127);
    struct Case {
        const char *what;
        std::vector<Placement> libs;
        std::string toolfd;
        std::string expectFrom; // "" = nothing loads
        int expectBound;
    } cases[] = {
        {"no library", {}, "jyx", "", 0},
        {"first path", {{SIM_FULL_LIB, "/usr/bin/hwbridge.so"}}, "jyx", "/usr/bin/hwbridge.so", 7},
        {"earlier path wins",
         {{SIM_PARTIAL_LIB, "/usr/lib64/hwbridge.so"}, {SIM_FULL_LIB, "/opt/StatusMonitor/hwbridge.so"}},
         "jyx", "/usr/lib64/hwbridge.so", 4},
        {"status monitor folder", {{SIM_FULL_LIB, "/opt/StatusMonitor/hwbridge.so"}}, "jyx",
         "/opt/StatusMonitor/hwbridge.so", 7},
        {"vendor folder by Toolfd", {{SIM_FULL_LIB, "/opt/Quorvel/jyx/hwbridge.so"}}, "jyx",
         "/opt/Quorvel/jyx/hwbridge.so", 7},
        {"Toolfd as folder", {{SIM_PARTIAL_LIB, "/opt/tools/jyx/hwbridge.so"}}, "/opt/tools/jyx",
         "/opt/tools/jyx/hwbridge.so", 4},
        {"cut path never loads", {{SIM_FULL_LIB, cutPath}}, longTool, "", 0},
        // "JYX30/hwbridge.so" would be looked up from the current folder; under the
        // test root it lands next to the root, where the library is put.
        {"relative Toolfd never loads", {{SIM_FULL_LIB, "JYX30/hwbridge.so"}}, "JYX30", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        simenv::removeLibraries(bindingRoot());
        for (const Placement &p : c.libs)
            simenv::placeLibrary(bindingRoot(), p.lib, p.fixedPath);
        LoadStatusMonitor(printers, &count, &select, "q1", c.toolfd.c_str());
        EXPECT_EQ(lib_handle != nullptr, !c.expectFrom.empty());
        EXPECT_EQ(boundEntries(), c.expectBound);
        if (c.expectBound == 4) {
            // The partial library lacks exactly these three.
            EXPECT_EQ(fnSendPrinterControl, nullptr);
            EXPECT_EQ(fnQueryPrinterStatus, nullptr);
            EXPECT_EQ(fnReadWriteMemoryEx, nullptr);
        }
        EXPECT_EQ(loadedFrom(), c.expectFrom);
        EXPECT_EQ(select, c.expectFrom.empty() ? -1 : 0);
        UnloadStatusMonitor();
        EXPECT_EQ(lib_handle, nullptr);
        EXPECT_EQ(boundEntries(), 0);
    }
}

TEST_F(Binding, FindsTheQueueInThePrinterList)
{
    simenv::placeLibrary(bindingRoot(), SIM_FULL_LIB, "/usr/bin/hwbridge.so");
    struct Case {
        const char *what;
        std::string state;
        const char *queue;
        int expectSelect, expectCount;
    } cases[] = {
        {"second entry", "printer=q1 socket://a\nprinter=q2 usb://b\n", "q2", 1, 2},
        {"not listed", "printer=q1 socket://a\n", "q9", -1, 1},
        {"last match wins", "printer=q1 socket://a\nprinter=q2 x\nprinter=q1 socket://c\n", "q1", 2, 3},
        {"a prefix is no match", "printer=q10 socket://a\n", "q1", -1, 1},
        {"failed list result is only logged", "list_rc=3\nprinter=q1 socket://a\n", "q1", 0, 1},
        {"empty list", "", "q1", -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeSimState(c.state);
        LoadStatusMonitor(printers, &count, &select, c.queue, "");
        EXPECT_EQ(select, c.expectSelect);
        EXPECT_EQ(count, c.expectCount);
        EXPECT_EQ(simenv::countLines(simCalls(), "GetPrinterList_s max=70"), 1);
        UnloadStatusMonitor();
    }
}

TEST_F(Binding, ListOfMoreThanSeventyIsCut)
{
    simenv::placeLibrary(bindingRoot(), SIM_FULL_LIB, "/usr/bin/hwbridge.so");
    std::string state;
    for (int i = 0; i < 75; ++i)
        state += "printer=p" + std::to_string(i) + " socket://x\n";
    writeSimState(state);
    LoadStatusMonitor(printers, &count, &select, "p69", "");
    EXPECT_EQ(count, MAX_SM_PRINTERS);
    EXPECT_EQ(select, 69);
}

TEST_F(Binding, WakeUpOnlyNetworkPrintersAndProbePSM)
{
    simenv::placeLibrary(bindingRoot(), SIM_FULL_LIB, "/usr/bin/hwbridge.so");
    struct Case {
        const char *what;
        std::string state;
        const char *queue;
        bool expectWake;
        int expectPsm;
    } cases[] = {
        {"network printer", "printer=q1 socket://10.0.0.5:9100\n", "q1", true, 0},
        {"usb printer", "printer=q1 usb://Maker/Model?serial=1\npsm=1\n", "q1", false, 1},
        {"queue not listed", "printer=q1 socket://10.0.0.5\npsm=1\n", "q2", false, 1},
        {"failed wake-up is only logged", "printer=q1 socket://10.0.0.5\nwake_rc=4\n", "q1", true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeSimState(c.state);
        LoadStatusMonitor(printers, &count, &select, c.queue, "");
        EXPECT_EQ(WakeUpAndProbePSM(printers, select), c.expectPsm);
        std::string calls = simCalls();
        EXPECT_EQ(simenv::countLines(calls, "WeakupNetPrinter port=socket://10.0.0.5"), c.expectWake ? 1 : 0);
        EXPECT_EQ(simenv::countLines(calls, "IsPSMRunning"), 1);
        UnloadStatusMonitor();
    }
    // Without a library there is nothing to ask.
    simenv::removeLibraries(bindingRoot());
    LoadStatusMonitor(printers, &count, &select, "q1", "");
    EXPECT_EQ(WakeUpAndProbePSM(printers, select), 0);
}

TEST_F(Binding, RegistrationCarriesJobAndCancel)
{
    simenv::placeLibrary(bindingRoot(), SIM_FULL_LIB, "/usr/bin/hwbridge.so");
    writeSimState("printer=q1 socket://a\n");
    LoadStatusMonitor(printers, &count, &select, "unlisted", "");
    gJobID = 321;
    gCancelJob = 0;
    EXPECT_EQ(StatusMonitorEnable("unlisted"), TRUE);
    EXPECT_EQ(StatusMonitorDisable("unlisted"), TRUE);
    gCancelJob = 1;
    EXPECT_EQ(StatusMonitorDisable("unlisted"), TRUE);
    gCancelJob = 0;
    std::vector<std::string> calls;
    for (const std::string &l : simenv::lines(simCalls()))
        if (l.rfind("ReadWriteMemory ", 0) == 0)
            calls.push_back(l);
    // Registration works by queue name, listed or not; a finished job is unregistered as job 0.
    const std::vector<std::string> expect = {
        "ReadWriteMemory rw=1 item=1 printer=unlisted JobID=321 CancelReady=0",
        "ReadWriteMemory rw=1 item=1 printer=unlisted JobID=0 CancelReady=0",
        "ReadWriteMemory rw=1 item=2 printer=unlisted JobID=0 CancelReady=0",
        "ReadWriteMemory rw=1 item=1 printer=unlisted JobID=321 CancelReady=1",
        "ReadWriteMemory rw=1 item=2 printer=unlisted JobID=321 CancelReady=1",
    };
    EXPECT_EQ(calls, expect);
}

// Sizes are checked at compile time; a field moved inside a record of the
// same size would still break the library, so the offsets it reads are pinned too.
TEST(RecordLayout, FieldOffsetsTheLibraryReads)
{
    struct Case {
        const char *field;
        size_t offset, expect;
    } cases[] = {
        {"PrinterAttribute.PortName", offsetof(PrinterAttribute, PortName), 128},
        {"pErrorInfo.code", offsetof(pErrorInfo, code), 4},
        {"pErrorInfo.CancelJob", offsetof(pErrorInfo, CancelJob), 2060},
        {"SuppliesInfo.reserved", offsetof(SuppliesInfo, reserved), 88},
        {"SMPrinterInfo.Port", offsetof(SMPrinterInfo, Port), 256},
        {"SMPrinterInfo.modelID", offsetof(SMPrinterInfo, modelID), 512},
        {"SMPrinterInfo.status_old", offsetof(SMPrinterInfo, status_old), 3604},
        {"SMPrinterInfo.supplies", offsetof(SMPrinterInfo, supplies), 6688},
        {"SMPrinterInfo.capability", offsetof(SMPrinterInfo, capability), 7804},
        {"SMCancelJobStruc.CancelSignal", offsetof(SMCancelJobStruc, CancelSignal), 8},
        {"SMCancelJobStruc.Title", offsetof(SMCancelJobStruc, Title), 7832},
        {"SMMemDataEx.AccID", offsetof(SMMemDataEx, AccID), 8348},
        {"SMMemDataEx.AccPwd", offsetof(SMMemDataEx, AccPwd), 8377},
        {"SMMemDataEx.Reserved", offsetof(SMMemDataEx, Reserved), 8406},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.offset, c.expect) << c.field;
}
