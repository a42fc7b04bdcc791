// printer-web: a stand-in of the printer's web service for tests and the demo.
//
// Usage: printer-web --host 127.0.0.X --store FOLDER [options]
//   --host ADDR              loopback address to listen on (127.x.x.x only)
//   --port N                 port, default 9100
//   --store FOLDER           where everything received is kept (made if missing)
//   --print-replies LIST     comma list, the answer to the n-th upload request of
//                            a job (final part included); the last one repeats.
//                            "1001" "2001" "3001" or any text: 200 with that body;
//                            "http:NNN": status NNN; "none": never answers (holds
//                            the request --hang-ms); "nul": body "10" NUL "01";
//                            "empty": empty body.  Default 1001.
//   --states LIST            job state words after the final part, one per
//                            interval; the last one stays.  Default
//                            Queueing,Processing,Printing,Completed
//   --state-interval-ms N    default 1000
//   --unknown-job-reply TEXT getJobStatus body for a job not fully uploaded (empty)
//   --printer-status TEXT    count and codes after "PrintErrorNumber:TIBORO,",
//                            e.g. "2,1001,2002"; default "0"
//   --printer-status-http N  status of printerstatus.php, default 200
//   --cancel-http N          status of cancelJob.php, default 200 (a cancelled job
//                            then reports Cancelled)
//   --remove-reply WORD      answer of removeJobStatus.php, default 1001
//   --hang-ms N              how long "none" holds a request, default 300000
//   --script FILE            more options, one "name value" a line ('#' comments)
//
// The store folder holds:
//   events.log               one line per request (also printed on stdout)
//   requests/NNNN-PAGE.head  method, path and headers of request NNNN
//   requests/NNNN-PAGE.body  its body, byte for byte
//   JOBID/ticket-N.xml       decrypted job ticket of upload part N ("end" = final)
//   JOBID/data.prn           job data of the accepted parts, in order
//   JOBID/parts.txt          "N filename bytes reply" per part
// The job id is the ticket's JobID, else the part's file name before "_N.pcl".
// Once listening it prints "printer-web listening on HOST:PORT".  SIGTERM or
// SIGINT stops it.
#include "options.h"
#include "printer.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv)
{
    SimOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "printer-web: %s\n", error.c_str());
        return 2;
    }

    // Signals are taken by one thread so the server can stop cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Every client request comes on a connection of its own; closing after
    // the answer lets the printer stop at once instead of idling on keep-alives.
    server.set_keep_alive_max_count(1);
    // The library's default adds SO_REUSEPORT, which lets a second printer bind the
    // same address and take half of this one's connections; bind exclusively.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    SimPrinter printer(options);
    printer.install(server);

    if (!server.bind_to_port(options.host.c_str(), options.port)) {
        std::fprintf(stderr, "printer-web: cannot listen on %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }
    std::thread stopper([&server, &printer, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        printer.stop();
        server.stop();
    });
    std::printf("printer-web listening on %s:%d\n", options.host.c_str(), options.port);
    std::fflush(stdout);
    server.listen_after_bind();
    // Ended by the server itself: wake the signal thread so it can be joined.
    kill(getpid(), SIGTERM);
    stopper.join();
    return 0;
}
