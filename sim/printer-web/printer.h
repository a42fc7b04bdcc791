// The simulated printer's pages and what it remembers of each job.
#pragma once

#include "options.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
struct Request;
struct Response;
class Server;
}

struct UploadPart
{
    std::string name;
    std::string fileName;
    std::string content;
};

// Splits an upload body at its delimiter lines. The job desk ends the body
// with an ordinary delimiter line; a closing "--" delimiter is accepted too.
bool parseUploadBody(const std::string &body, const std::string &boundary, std::vector<UploadPart> &parts);

// Base64 text, then the text cipher with the fixed key; empty when it does not decrypt.
std::string decryptTicket(const std::string &base64);

class SimPrinter
{
public:
    explicit SimPrinter(const SimOptions &options);

    void install(httplib::Server &server);
    // Releases requests held by "none" so the server can shut down.
    void stop() { m_stopping.store(true); }

private:
    struct Job
    {
        int requests = 0;
        int dataParts = 0;
        bool finished = false;
        bool cancelled = false;
        std::chrono::steady_clock::time_point finishedAt;
    };

    void onPrint(const httplib::Request &req, httplib::Response &res);
    void onJobStatus(const httplib::Request &req, httplib::Response &res);
    void onCancel(const httplib::Request &req, httplib::Response &res);
    void onRemove(const httplib::Request &req, httplib::Response &res);
    void onPrinterStatus(const httplib::Request &req, httplib::Response &res);

    void keepRequest(const httplib::Request &req, const std::string &page);
    void logEvent(const std::string &line);
    std::string jobFolder(const std::string &jobId);
    void answer(const std::string &word, httplib::Response &res);

    SimOptions m_options;
    std::mutex m_mutex;
    std::map<std::string, Job> m_jobs;
    int m_requestCount = 0;
    std::atomic<bool> m_stopping{false};
};
