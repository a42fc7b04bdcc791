// A private CUPS scheduler on loopback; see scheduler.h.
#include "scheduler.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "run_util.h"

namespace runs
{

namespace
{

// A port nobody listens on now, as the kernel hands it out.
int FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

std::string Q(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

Scheduler::Scheduler(std::string filter, bool linked) : filter_(std::move(filter)), linked_(linked) {}

Scheduler::Scheduler() : Scheduler(RASTERPRESS_BIN) {}

bool Scheduler::Start()
{
    dir_ = Root() + "/cupsd";
    const std::string d = dir_;
    for (const char *sub : {"", "/root", "/root/ppd", "/state", "/cache", "/spool", "/spool/tmp", "/log",
                            "/out", "/sb", "/sb/filter", "/froot", "/froot/tmp"})
        mkdir((d + sub).c_str(), 0755);
    chmod(Root().c_str(), 0755);
    chmod((d + "/out").c_str(), 0777);
    chmod((d + "/froot/tmp").c_str(), 01777);
    std::string sh =
        "set -e; cd " + d +
        "/sb; for x in backend daemon driver monitor notifier cgi-bin; do "
        "ln -sf /usr/lib/cups/$x $x; done; for f in /usr/lib/cups/filter/*; do ln -sf $f filter/; done; ";
    sh += (linked_ ? "ln -sf " : "install -m 0755 ") + Q(filter_) + " filter/rasterpress; ";
    sh += "cp /etc/cups/raw.types /etc/cups/raw.convs " + d + "/root/ 2>/dev/null || true";
    if (system(sh.c_str()) != 0)
        return false;
    port_ = FreeLoopbackPort();
    if (port_ <= 0)
        return false;
    WriteFile(d + "/root/cups-files.conf",
              "ServerRoot " + d + "/root\nStateDir " + d + "/state\nCacheDir " + d + "/cache\nRequestRoot " +
                  d + "/spool\nTempDir " + d + "/spool/tmp\nDataDir /usr/share/cups\nServerBin " + d +
                  "/sb\nDocumentRoot /usr/share/cups/doc-root\nErrorLog " + d + "/log/error_log\nAccessLog " +
                  d + "/log/access_log\nPageLog " + d +
                  "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\nFileDevice Yes\n",
              0644);
    WriteFile(d + "/root/cupsd.conf",
              "LogLevel debug\nMaxLogSize 0\nListen 127.0.0.1:" + std::to_string(port_) +
                  "\nServerName 127.0.0.1\nBrowsing Off\nBrowseLocalProtocols none\nDefaultAuthType None\n"
                  "WebInterface No\nSetEnv RASTERPRESS_TEST_ROOT " +
                  d +
                  "/froot\n"
                  "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n</Location>\n"
                  "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow from 127.0.0.1\n  "
                  "</Limit>\n"
                  "</Policy>\n",
              0644);
    // The scheduler hands its filters a clean environment: a sanitizer build of the
    // filter gets the options it runs with here through a wrapper (argv[0] is the queue).
    std::string exports;
    for (const char *v : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char *val = getenv(v))
            exports += std::string("export ") + v + "=" + Q(val) + "\n";
    if (!exports.empty() && !linked_) {
        std::string wrapper = d + "/sb/filter/rasterpress";
        unlink(wrapper.c_str());
        WriteFile(wrapper, "#!/bin/bash\n" + exports + "exec -a \"$PRINTER\" " + Q(filter_) + " \"$@\"\n",
                  0755);
    }
    std::string conf = d + "/root/cupsd.conf", files = d + "/root/cups-files.conf";
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), (char *)nullptr);
        _exit(127);
    }
    server_ = "CUPS_SERVER=127.0.0.1:" + std::to_string(port_);
    for (int i = 0; i < 100; i++) {
        if (Shell("lpstat -r 2>/dev/null | grep -q 'is running'"))
            return true;
        usleep(100 * 1000);
    }
    return false;
}

bool Scheduler::Shell(const std::string &cmd)
{
    return system(("env " + server_ + " sh -c " + Q(cmd)).c_str()) == 0;
}

std::string Scheduler::JobLog() const
{
    std::istringstream in(ReadFile(dir_ + "/log/error_log"));
    std::string line, out;
    while (std::getline(in, line))
        if (line.find("[Job ") != std::string::npos && line.find("[---filter---]") == std::string::npos)
            out += line + "\n";
    return out.size() > 6000 ? out.substr(out.size() - 6000) : out;
}

std::string Scheduler::PageLog() const
{
    return ReadFile(dir_ + "/log/page_log");
}

Scheduler::~Scheduler()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int st;
        waitpid(pid_, &st, 0);
    }
}

} // namespace runs
