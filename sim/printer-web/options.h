// Command-line and script options of the simulated printer.
#pragma once

#include <string>
#include <vector>

struct SimOptions
{
    std::string host;                 // loopback address to bind (127.x.x.x)
    int port = 9100;
    std::string store;                // folder that keeps what the printer received
    // Reply to the n-th upload request of a job (final part included); the
    // last entry repeats.  Words: any text is sent as the body with 200;
    // "http:NNN" answers status NNN; "none" never answers; "nul" sends the
    // bytes "10", NUL, "01"; "empty" sends an empty body.
    std::vector<std::string> printReplies{"1001"};
    // State words a job walks through after its final part, one per interval.
    std::vector<std::string> states{"Queueing", "Processing", "Printing", "Completed"};
    int stateIntervalMs = 1000;
    std::string unknownJobReply;      // getJobStatus body for a job never uploaded
    // Printer status: "count,code,code..." after "PrintErrorNumber:TIBORO,".
    std::string printerStatus = "0";
    int printerStatusHttp = 200;
    int cancelHttp = 200;
    std::string removeReply = "1001";
    int hangMs = 300000;              // how long "none" holds a request
};

// Parses argv (and any --script FILE it names); returns false and fills
// error on a bad option.
bool parseOptions(int argc, char **argv, SimOptions &options, std::string &error);

std::vector<std::string> splitList(const std::string &text, char separator);
