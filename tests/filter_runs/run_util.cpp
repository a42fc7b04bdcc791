#include "run_util.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace runs
{

namespace
{

struct RootDir : TempDir {
    RootDir() : TempDir("rp-runs")
    {
        mkdir((path + "/tmp").c_str(), 0755);
        mkdir((path + "/raster").c_str(), 0700);
    }
};

std::mutex gMutex;
int gRunCounter = 0;

uint32_t LE32(const std::string &s, size_t at)
{
    const unsigned char *p = (const unsigned char *)s.data() + at;
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void PutBE32(std::string &s, uint32_t v)
{
    s += (char)(v >> 24);
    s += (char)(v >> 16);
    s += (char)(v >> 8);
    s += (char)v;
}

std::string Quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

} // namespace

TempDir::TempDir(const char *prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        abort();
    path = tmpl;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

const std::string &Root()
{
    static RootDir root;
    return root.path;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &data, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        return;
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0)
            break;
        off += (size_t)n;
    }
    fchmod(fd, mode);
    close(fd);
}

std::string BasePpd()
{
    return PPD_SOURCE;
}

std::string PpdVariant(const std::string &name, const std::map<std::string, std::string> &attrs)
{
    std::istringstream in(ReadFile(BasePpd()));
    std::string out, line;
    while (std::getline(in, line)) {
        for (const auto &kv : attrs) {
            std::string key = "*" + kv.first + ":";
            if (line.rfind(key, 0) == 0)
                line = key + " " + kv.second;
        }
        out += line + "\n";
    }
    std::string path = Root() + "/" + name + ".ppd";
    WriteFile(path, out, 0644);
    return path;
}

std::string CupsRaster(const std::string &doc, const std::vector<std::string> &options)
{
    std::lock_guard<std::mutex> lock(gMutex);
    static std::map<std::string, std::string> cache;
    std::string cmd = "cupsfilter -p " + Quote(BasePpd()) + " -m application/vnd.cups-raster";
    for (const auto &o : options)
        cmd += " -o " + Quote(o);
    cmd += " " + Quote(doc);
    auto it = cache.find(cmd);
    if (it != cache.end())
        return it->second;
    std::string path = Root() + "/raster/r" + std::to_string(cache.size()) + ".ras";
    std::string full = cmd + " > " + Quote(path) + " 2>/dev/null";
    if (system(full.c_str()) != 0)
        return "";
    cache[cmd] = path;
    return path;
}

std::vector<RasterPage> ReadRaster(const std::string &path)
{
    std::vector<RasterPage> pages;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return pages;
    cups_raster_t *r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    RasterPage p;
    while (r && cupsRasterReadHeader2(r, &p.header)) {
        p.data.assign((size_t)p.header.cupsBytesPerLine * p.header.cupsHeight, '\0');
        cupsRasterReadPixels(r, (unsigned char *)&p.data[0], (unsigned)p.data.size());
        pages.push_back(p);
    }
    if (r)
        cupsRasterClose(r);
    close(fd);
    return pages;
}

void WriteRaster(const std::string &path, const std::vector<RasterPage> &pages)
{
    std::string s = "3SaR"; // the sync word in host (little-endian) order
    for (const RasterPage &p : pages) {
        s.append((const char *)&p.header, sizeof p.header);
        s += p.data;
    }
    WriteFile(path, s);
}

Running StartFilter(const std::string &raster, const RunOptions &o)
{
    int n;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        n = gRunCounter++;
    }
    Running r;
    r.outPath = Root() + "/run" + std::to_string(n) + ".out";
    r.errPath = Root() + "/run" + std::to_string(n) + ".err";
    r.killAfterMs = o.killAfterMs;
    std::vector<std::string> args = {o.queue, o.jobId, o.user, o.title, "1", o.options};
    if (!o.viaStdin)
        args.push_back(raster);
    const char *program = RASTERPRESS_BIN;
    if (o.uid >= 0) {
        // The filter's argv[0] is the queue name: bash's exec sets it after setpriv changed the ids.
        std::string id = std::to_string(o.uid);
        args.insert(args.begin() + 1, RASTERPRESS_BIN);
        args.insert(args.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "/bin/bash",
                                   "-c", "exec -a \"$0\" \"$@\""});
        program = "/usr/bin/setpriv";
    }
    if (o.measurePeak) {
        r.peakPath = Root() + "/run" + std::to_string(n) + ".peak";
        args.insert(args.begin(), {PEAK_RSS_BIN, r.peakPath, program});
        program = PEAK_RSS_BIN;
    }
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    // A variable of the run's own replaces the inherited one of that name. The test's
    // own TMPDIR is not the job's: a run has one only when the test gives it one.
    std::vector<std::string> own = {"PPD=", "RASTERPRESS_TEST_ROOT=", "CUPS_SERVER=", "TMPDIR="};
    for (const auto &e : o.env)
        own.push_back(e.substr(0, e.find('=') + 1));
    auto isOwn = [&own](const char *e) {
        for (const std::string &name : own)
            if (strncmp(e, name.c_str(), name.size()) == 0)
                return true;
        return false;
    };
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (!isOwn(*e))
            env.push_back(*e);
    env.push_back("PPD=" + (o.ppd.empty() ? BasePpd() : o.ppd));
    env.push_back("RASTERPRESS_TEST_ROOT=" + (o.root.empty() ? Root() : o.root));
    env.push_back("CUPS_SERVER=127.0.0.1:1"); // no scheduler: every CUPS query fails at once
    for (const auto &e : o.env)
        env.push_back(e);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, o.viaStdin ? raster.c_str() : "/dev/null", O_RDONLY, 0);
    int pipefd[2] = {-1, -1};
    if (o.closeStdoutEarly) {
        if (pipe(pipefd) != 0)
            abort();
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
        posix_spawn_file_actions_addclose(&fa, pipefd[0]);
        posix_spawn_file_actions_addclose(&fa, pipefd[1]);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, r.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&fa, 2, r.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&r.pid, program, &fa, nullptr, argv.data(), envp.data()) != 0)
        r.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (o.closeStdoutEarly) {
        close(pipefd[0]);
        close(pipefd[1]);
    }
    if (o.termAfterMs >= 0 && r.pid > 0) {
        usleep(o.termAfterMs * 1000);
        kill(r.pid, SIGTERM);
    }
    return r;
}

RunResult Wait(const Running &r)
{
    RunResult res;
    if (r.pid <= 0)
        return res;
    int status = 0;
    // A hung filter is a failure, not a hung test.
    for (int waited = 0;; waited += 50) {
        pid_t w = waitpid(r.pid, &status, WNOHANG);
        if (w == r.pid)
            break;
        if (waited > r.killAfterMs) {
            kill(r.pid, SIGKILL);
            waitpid(r.pid, &status, 0);
            break;
        }
        usleep(50 * 1000);
    }
    res.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!r.peakPath.empty()) {
        res.maxRssKb = atol(ReadFile(r.peakPath).c_str());
        unlink(r.peakPath.c_str());
    }
    res.out = ReadFile(r.outPath);
    res.err = ReadFile(r.errPath);
    unlink(r.outPath.c_str());
    unlink(r.errPath.c_str());
    return res;
}

RunResult RunFilter(const std::string &raster, const RunOptions &o)
{
    return Wait(StartFilter(raster, o));
}

static const char kCancel[] = "\x1b"
                              "E\x1b%-12345X@PJL CANCEL\r\n@PJL EOJ\r\n\x1b%-12345X";
static const char kUEL[] = "\x1b%-12345X";
static const char kEnd[] = "\x1b"
                           "E\x1b%-12345X@PJL\r\n";
static const char kCancel2[] = "\x1b"
                               "E\x1b%-12345X@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n\x1b%-12345X";

std::string CloseSequence(bool cancel, bool aligned)
{
    std::string s = kEnd;
    if (aligned)
        s += "@PJL COMMENT DATA ALIGNMENT 512\r\n";
    s += "@PJL SET TIMEOUT=5\r\n";
    if (cancel)
        s += "@PJL HOST_CANCEL\r\n";
    s += "@PJL EOJ\r\n";
    s += kUEL;
    if (cancel)
        s += kCancel2;
    return s;
}

// Decodes one JBIG bi-level image entity with JBIG-KIT's own tool.
static bool Jbgtopbm(const std::string &bie, uint32_t width, uint32_t height, std::vector<uint8_t> &bitmap)
{
    static std::atomic<int> counter{0};
    int n = counter++;
    std::string in = Root() + "/dec" + std::to_string(n) + ".jbg";
    std::string out = Root() + "/dec" + std::to_string(n) + ".pbm";
    WriteFile(in, bie);
    std::string cmd = "jbgtopbm " + Quote(in) + " " + Quote(out) + " 2>/dev/null";
    bool ok = system(cmd.c_str()) == 0;
    std::string pbm = ReadFile(out);
    unlink(in.c_str());
    unlink(out.c_str());
    if (!ok || pbm.compare(0, 2, "P4") != 0)
        return false;
    // Header: magic, width, height, each after white space or comments.
    size_t pos = 2;
    uint32_t vals[2];
    for (uint32_t &v : vals) {
        while (pos < pbm.size() && (isspace((unsigned char)pbm[pos]) || pbm[pos] == '#')) {
            if (pbm[pos] == '#')
                while (pos < pbm.size() && pbm[pos] != '\n')
                    pos++;
            else
                pos++;
        }
        v = (uint32_t)strtoul(pbm.c_str() + pos, nullptr, 10);
        while (pos < pbm.size() && isdigit((unsigned char)pbm[pos]))
            pos++;
    }
    pos++; // the single white space before the data
    if (vals[0] != width || vals[1] != height)
        return false;
    size_t bytes = (size_t)(width + 7) / 8 * height;
    if (pbm.size() < pos + bytes)
        return false;
    bitmap.assign(pbm.begin() + pos, pbm.begin() + pos + bytes);
    return true;
}

Job ParseJob(const std::string &s)
{
    Job job;
    size_t pos = 0;
    std::string cancelHead = std::string(kCancel) + std::string(512, '\0');
    if (s.compare(0, cancelHead.size(), cancelHead) == 0) {
        job.startCancel = true;
        pos = cancelHead.size();
        if (s.compare(pos, 9, kUEL) != 0) {
            job.problem = "no UEL after the start sequence";
            return job;
        }
        pos += 9;
        for (;;) {
            size_t e = s.find("\r\n", pos);
            if (e == std::string::npos) {
                job.problem = "header without end";
                return job;
            }
            job.header.push_back(s.substr(pos, e - pos));
            pos = e + 2;
            if (job.header.back() == "@PJL ENTER LANGUAGE=QZGDI")
                break;
        }
    }
    bool encrypted = false;
    for (const auto &l : job.header)
        encrypted |= l == "@PJL SET ENCRYPTION = SSL";
    while (s.compare(pos, 6,
                     std::string("\x1b"
                                 "EGDI\0",
                                 6)) == 0) {
        if (pos + 34 > s.size()) {
            job.problem = "short page head";
            return job;
        }
        PageRec p;
        const std::string h = s.substr(pos + 2, 32);
        p.width = LE32(h, 4);
        p.height = LE32(h, 8);
        p.datasize = LE32(h, 12);
        p.compsize = LE32(h, 16);
        p.blackDots = LE32(h, 20);
        p.paper = h[24];
        p.media = h[25];
        p.tray = h[26];
        p.outbin = h[27];
        p.bits = h[28];
        p.colors = h[29];
        p.colormode = h[30];
        p.comp = h[31];
        size_t len = p.compsize;
        if (encrypted) {
            if (pos + 38 > s.size()) {
                job.problem = "short encrypted page";
                return job;
            }
            len = 4 + LE32(s, pos + 34);
        }
        if (pos + 34 + len > s.size()) {
            job.problem = "page data past the end";
            return job;
        }
        p.payload = s.substr(pos + 34, len);
        pos += 34 + len;
        if (!encrypted && p.height) {
            uint32_t w = p.width * p.bits;
            if (p.comp == 0) {
                p.bitmap.assign(p.payload.begin(), p.payload.end());
                p.rowBytes = p.datasize / p.height;
            } else {
                std::string bie = p.payload;
                if (p.comp == 3 || p.comp == 4)
                    bie.resize(bie.size() >= 4 ? bie.size() - 4 : 0);
                if (p.comp == 1 || p.comp == 3) {
                    std::string bih;
                    bih += '\0';
                    bih += '\0';
                    bih += '\1';
                    bih += '\0';
                    PutBE32(bih, w);
                    PutBE32(bih, p.height);
                    PutBE32(bih, p.height);
                    bih += '\0';
                    bih += '\0';
                    bih += '\0';
                    bih += '\x08';
                    bie = bih + bie;
                }
                if (Jbgtopbm(bie, w, p.height, p.bitmap))
                    p.rowBytes = (w + 7) / 8;
            }
            for (uint8_t b : p.bitmap)
                p.setPixels += __builtin_popcount(b);
        }
        job.pages.push_back(std::move(p));
    }
    job.close = s.substr(pos);
    job.ok = true;
    return job;
}

std::string ManualPages(const std::string &range, const std::vector<std::string> &extra)
{
    std::vector<std::string> o = {"PageSize=A6", "page-ranges=" + range};
    o.insert(o.end(), extra.begin(), extra.end());
    return CupsRaster(kManual, o);
}

std::vector<uint32_t> BlackDots(const Job &job)
{
    std::vector<uint32_t> v;
    for (const auto &p : job.pages)
        v.push_back(p.blackDots);
    return v;
}

bool HasLine(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool InstallAccountingTool(const std::string &root)
{
    std::string tool = root + "/opt/Omsta";
    if (system(("mkdir -p " + tool).c_str()) != 0)
        return false;
    unlink((tool + "/ATM").c_str());
    return symlink(ATM_BIN, (tool + "/ATM").c_str()) == 0;
}

std::string JsonArgument(const std::string &log)
{
    std::istringstream in(ReadFile(log));
    std::string line;
    while (std::getline(in, line))
        if (line == "-f" && std::getline(in, line))
            return line;
    return "";
}

} // namespace runs
