#include "printer.h"

#include "textcipher.h"

#include <httplib.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace {

const std::string kCrlf = "\r\n";

void makeDir(const std::string &path)
{
    ::mkdir(path.c_str(), 0755);
}

void writeFile(const std::string &path, const std::string &data, bool append = false)
{
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The value of attribute "key" in a Content-Disposition line; a file name
// runs to the line's last quote since the job desk does not escape it.
std::string dispositionValue(const std::string &line, const std::string &key, bool toLastQuote)
{
    const std::string mark = key + "=\"";
    const size_t start = line.find(mark);
    if (start == std::string::npos)
        return std::string();
    const size_t from = start + mark.size();
    const size_t end = toLastQuote ? line.rfind('"') : line.find('"', from);
    if (end == std::string::npos || end < from)
        return std::string();
    return line.substr(from, end - from);
}

// Undoes the XML escapes a ticket's text may carry.
std::string unescapeXml(const std::string &text)
{
    static const std::pair<const char *, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto &e : entities) {
                const size_t n = std::strlen(e.first);
                if (text.compare(i, n, e.first) == 0) {
                    out += e.second;
                    i += n;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

// Text between the first <tag> and the next </tag>, unescaped.
std::string tagValue(const std::string &text, const std::string &tag)
{
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    const size_t start = text.find(open);
    if (start == std::string::npos)
        return std::string();
    const size_t from = start + open.size();
    const size_t end = text.find(close, from);
    return end == std::string::npos ? std::string() : unescapeXml(text.substr(from, end - from));
}

// A job id safe to use as a folder name.
std::string folderName(std::string id)
{
    for (char &c : id)
        if (c == '/' || c == '\\')
            c = '_';
    if (id.empty() || id[0] == '.')
        id.insert(0, "job");
    return id;
}

// "job7_3.pcl" or "job7_end.pcl" -> "job7"
std::string jobIdFromPartName(const std::string &name)
{
    const size_t pcl = name.find(".pcl");
    std::string stem = name.substr(0, pcl);
    const size_t underscore = stem.rfind('_');
    if (pcl != std::string::npos && underscore != std::string::npos)
        stem.resize(underscore);
    return stem;
}

std::string formJobId(const std::string &body)
{
    const std::string key = "jobID=";
    return body.rfind(key, 0) == 0 ? body.substr(key.size()) : std::string();
}

} // namespace

bool parseUploadBody(const std::string &body, const std::string &boundary, std::vector<UploadPart> &parts)
{
    const std::string first = "--" + boundary + kCrlf;
    const std::string next = kCrlf + "--" + boundary;
    if (body.compare(0, first.size(), first) != 0)
        return false;
    size_t pos = first.size();
    while (pos < body.size()) {
        const size_t headerEnd = body.find(kCrlf + kCrlf, pos);
        if (headerEnd == std::string::npos)
            return false;
        const std::string headers = body.substr(pos, headerEnd - pos);
        const size_t contentStart = headerEnd + 4;
        const size_t contentEnd = body.find(next, contentStart);
        if (contentEnd == std::string::npos)
            return false;
        UploadPart part;
        const std::string disposition = headers.substr(0, headers.find(kCrlf));
        part.name = dispositionValue(disposition, "name", false);
        part.fileName = dispositionValue(disposition, "filename", true);
        part.content = body.substr(contentStart, contentEnd - contentStart);
        parts.push_back(part);
        pos = contentEnd + next.size();
        if (body.compare(pos, 2, "--") == 0)
            return true;  // closing delimiter
        if (body.compare(pos, 2, kCrlf) != 0)
            return false;
        pos += 2;
    }
    return true;
}

std::string decryptTicket(const std::string &base64)
{
    std::string cipher;
    CryptoPP::StringSource(base64, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(cipher)));
    if (cipher.empty())
        return std::string();
    try {
        return aesDecrypt(cipher, kCipherKeyText, 32);
    } catch (const CryptoPP::Exception &) {
        return std::string();
    }
}

SimPrinter::SimPrinter(const SimOptions &options) : m_options(options)
{
    makeDir(m_options.store);
    makeDir(m_options.store + "/requests");
}

void SimPrinter::install(httplib::Server &server)
{
    // The upload body has no closing delimiter, which the library's own
    // multipart reader refuses; keep the type aside and read the body raw.
    server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &) {
        auto &request = const_cast<httplib::Request &>(req);
        auto it = request.headers.find("Content-Type");
        if (it != request.headers.end()) {
            const std::string type = it->second;
            request.headers.erase(it);
            request.headers.emplace("X-Sim-Content-Type", type);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Post("/jyx/print.php", [this](const httplib::Request &q, httplib::Response &r) { onPrint(q, r); });
    server.Post("/jyx/getJobStatus.php",
                [this](const httplib::Request &q, httplib::Response &r) { onJobStatus(q, r); });
    server.Post("/jyx/cancelJob.php", [this](const httplib::Request &q, httplib::Response &r) { onCancel(q, r); });
    server.Post("/jyx/removeJobStatus.php",
                [this](const httplib::Request &q, httplib::Response &r) { onRemove(q, r); });
    server.Get("/jyx/printerstatus.php",
               [this](const httplib::Request &q, httplib::Response &r) { onPrinterStatus(q, r); });
}

void SimPrinter::keepRequest(const httplib::Request &req, const std::string &page)
{
    char prefix[32];
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::snprintf(prefix, sizeof prefix, "%04d-", ++m_requestCount);
    }
    const std::string base = m_options.store + "/requests/" + prefix + page;
    std::string head = req.method + " " + req.path + "\n";
    for (const auto &h : req.headers) {
        const std::string name = h.first == "X-Sim-Content-Type" ? "Content-Type" : h.first;
        head += name + ": " + h.second + "\n";
    }
    writeFile(base + ".head", head);
    writeFile(base + ".body", req.body);
}

void SimPrinter::logEvent(const std::string &line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    writeFile(m_options.store + "/events.log", line + "\n", true);
    std::printf("printer-web: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string SimPrinter::jobFolder(const std::string &jobId)
{
    const std::string dir = m_options.store + "/" + folderName(jobId);
    makeDir(dir);
    return dir;
}

void SimPrinter::answer(const std::string &word, httplib::Response &res)
{
    if (word.rfind("http:", 0) == 0) {
        res.status = std::atoi(word.c_str() + 5);
        res.set_content("error " + word.substr(5), "text/plain");
    } else if (word == "none") {
        // Hold the request open without answering until the client gives up.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.hangMs);
        while (!m_stopping.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        res.status = 200;
    } else if (word == "nul") {
        res.set_content(std::string("10\0" "01", 5), "text/plain");
    } else if (word == "empty") {
        res.set_content(std::string(), "text/plain");
    } else {
        res.set_content(word, "text/plain");
    }
}

void SimPrinter::onPrint(const httplib::Request &req, httplib::Response &res)
{
    keepRequest(req, "print");
    const std::string type = req.get_header_value("X-Sim-Content-Type");
    const std::string key = "boundary=";
    const size_t at = type.find(key);
    std::vector<UploadPart> parts;
    if (at == std::string::npos || !parseUploadBody(req.body, type.substr(at + key.size()), parts)) {
        logEvent("print: malformed upload");
        res.status = 400;
        res.set_content("bad upload", "text/plain");
        return;
    }
    std::string jobInfo, fileName, data;
    bool haveFile = false;
    for (const UploadPart &p : parts) {
        if (p.name == "jobInfo")
            jobInfo = p.content;
        else if (p.name == "jobFile") {
            fileName = p.fileName;
            data = p.content;
            haveFile = true;
        }
    }
    const std::string ticket = decryptTicket(jobInfo);
    std::string jobId = tagValue(ticket, "JobID");
    if (jobId.empty())
        jobId = jobIdFromPartName(fileName);
    const bool final = haveFile && data == "end";

    int request = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Job &job = m_jobs[jobId];
        request = ++job.requests;
        if (!final)
            ++job.dataParts;
    }
    const std::string &replies = m_options.printReplies.empty() ? std::string("1001")
        : m_options.printReplies[std::min<size_t>(request, m_options.printReplies.size()) - 1];
    const std::string reply = replies;

    const std::string dir = jobFolder(jobId);
    const std::string tag = final ? std::string("end") : std::to_string(request);
    writeFile(dir + "/ticket-" + tag + ".xml", ticket);
    // Only accepted parts become job data, as a printer keeps what it took.
    const bool accepted = reply.find("1001") != std::string::npos;
    if (!final && accepted)
        writeFile(dir + "/data.prn", data, true);
    writeFile(dir + "/parts.txt", tag + " " + fileName + " " + std::to_string(data.size()) + " " + reply + "\n", true);
    if (final && accepted) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Job &job = m_jobs[jobId];
        job.finished = true;
        job.finishedAt = std::chrono::steady_clock::now();
    }
    logEvent("print job=" + jobId + " part=" + tag + " name=" + fileName + " bytes=" +
             std::to_string(data.size()) + " reply=" + reply);
    answer(reply, res);
}

void SimPrinter::onJobStatus(const httplib::Request &req, httplib::Response &res)
{
    keepRequest(req, "getJobStatus");
    const std::string jobId = formJobId(req.body);
    std::string word;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_jobs.find(jobId);
        if (it == m_jobs.end() || !it->second.finished) {
            word = m_options.unknownJobReply;
        } else if (it->second.cancelled) {
            word = "Cancelled";
        } else if (!m_options.states.empty()) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - it->second.finishedAt).count();
            const size_t step = m_options.stateIntervalMs > 0
                ? static_cast<size_t>(elapsed / m_options.stateIntervalMs) : m_options.states.size();
            word = m_options.states[std::min(step, m_options.states.size() - 1)];
        }
    }
    logEvent("getJobStatus job=" + jobId + " state=" + word);
    res.set_content(word, "text/plain");
}

void SimPrinter::onCancel(const httplib::Request &req, httplib::Response &res)
{
    keepRequest(req, "cancelJob");
    const std::string jobId = formJobId(req.body);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Job &job = m_jobs[jobId];
        job.cancelled = true;
        if (!job.finished) {
            job.finished = true;
            job.finishedAt = std::chrono::steady_clock::now();
        }
    }
    logEvent("cancelJob job=" + jobId);
    res.status = m_options.cancelHttp;
    res.set_content(m_options.cancelHttp == 200 ? "1001" : "error", "text/plain");
}

void SimPrinter::onRemove(const httplib::Request &req, httplib::Response &res)
{
    keepRequest(req, "removeJobStatus");
    logEvent("removeJobStatus job=" + formJobId(req.body));
    answer(m_options.removeReply, res);
}

void SimPrinter::onPrinterStatus(const httplib::Request &req, httplib::Response &res)
{
    keepRequest(req, "printerstatus");
    logEvent("printerstatus");
    res.status = m_options.printerStatusHttp;
    res.set_content("PrintErrorNumber:TIBORO," + m_options.printerStatus, "text/plain");
}
