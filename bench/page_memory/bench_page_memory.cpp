// Peak memory of whole filter runs on the largest pages a job can bring: a
// real red-and-black page of the largest paper (A3) at 1200 dpi, made by
// cupsfilter, next to a compressed red-and-black raster of 65504 x 10900
// pixels at 1200 dpi on an A3 page (about 90 KB of PackBits), both run by the
// filter one after the other, for a printer that halves 1200-dpi pages and for
// one that prints them as they are.
//
//   bench_page_memory [--pages N] [--keep DIR]
//
// --pages N puts N copies of each page in its raster (default 1).
//
// Prints per run the filter's exit status, its peak resident memory, its CPU
// time, the pages it reported to CUPS and its "ERROR:" line, if any.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <cups/raster.h>

extern char **environ;

namespace {

std::string readAll(const std::string &path)
{
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[1 << 16];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

struct RasterOut {
    int fd = -1;
    cups_raster_t *ras = nullptr;
    explicit RasterOut(const std::string &path)
    {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);
    }
    ~RasterOut()
    {
        if (ras)
            cupsRasterClose(ras);
        if (fd >= 0)
            close(fd);
    }
};

// The hostile page: far more raster than its A3 page, red and black bars on white.
bool makeHostile(const std::string &path, int pages)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = 1200;
    h.PageSize[0] = 842;
    h.PageSize[1] = 1191;
    h.cupsWidth = 65504;
    h.cupsHeight = 10900;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 24;
    h.cupsBytesPerLine = h.cupsWidth * 3;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_RGB;
    h.NumCopies = 1;
    h.cupsInteger[4] = 1; // red and black
    RasterOut out(path);
    if (!out.ras)
        return false;
    std::vector<unsigned char> white(h.cupsBytesPerLine, 0xFF), bars = white;
    for (unsigned x = 0; x < 2000; ++x) {
        unsigned char *black = &bars[3 * (1000 + x)], *red = &bars[3 * (5000 + x)];
        black[0] = black[1] = black[2] = 0;
        red[0] = 255;
        red[1] = red[2] = 0;
    }
    for (int p = 0; p < pages; ++p) {
        if (!cupsRasterWriteHeader2(out.ras, &h))
            return false;
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            const std::vector<unsigned char> &row = (y / 500) % 2 ? bars : white;
            if (cupsRasterWritePixels(out.ras, const_cast<unsigned char *>(row.data()), h.cupsBytesPerLine) !=
                h.cupsBytesPerLine)
                return false;
        }
    }
    return true;
}

// Appends every page of the raster stream on `fd` to `out`, one row at a time.
bool copyPages(int fd, RasterOut &out, cups_page_header2_t *first)
{
    cups_raster_t *in = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    std::vector<unsigned char> row;
    bool ok = in && out.ras;
    int n = 0;
    while (ok && cupsRasterReadHeader2(in, &h)) {
        if (first && n == 0)
            *first = h;
        n++;
        row.resize(h.cupsBytesPerLine);
        ok = cupsRasterWriteHeader2(out.ras, &h);
        for (unsigned y = 0; ok && y < h.cupsHeight; ++y)
            ok = cupsRasterReadPixels(in, row.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine &&
                 cupsRasterWritePixels(out.ras, row.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine;
    }
    if (in)
        cupsRasterClose(in);
    return ok && n > 0;
}

// A real A3 page at 1200 dpi in red and black, as cupsfilter makes it, stored
// compressed; streamed row by row, so that this process stays small.
bool makeRealA3(const std::string &path, int pages)
{
    const std::string one = path + ".one";
    const std::string cmd = "cupsfilter -p '" PPD_SOURCE "' -m application/vnd.cups-raster -o PageSize=A3 "
                            "-o Resolution=1200dpi -o ColorModel=RedBlack "
                            "/usr/share/cups/data/default-testpage.pdf 2>/dev/null";
    cups_page_header2_t h;
    {
        FILE *in = popen(cmd.c_str(), "r");
        if (!in)
            return false;
        RasterOut out(one);
        bool ok = copyPages(fileno(in), out, &h);
        if (pclose(in) != 0 || !ok)
            return false;
    }
    std::printf("real A3 raster: %u x %u pixels, %u bits, %u x %u dpi, page %u x %u points\n", h.cupsWidth,
                h.cupsHeight, h.cupsBitsPerPixel, h.HWResolution[0], h.HWResolution[1], h.PageSize[0],
                h.PageSize[1]);
    RasterOut out(path);
    for (int p = 0; p < pages; ++p) {
        int fd = open(one.c_str(), O_RDONLY);
        bool ok = fd >= 0 && copyPages(fd, out, nullptr);
        if (fd >= 0)
            close(fd);
        if (!ok)
            return false;
    }
    unlink(one.c_str());
    return true;
}

struct Figures {
    int status = -1;
    long peakMb = 0;
    double cpuSec = 0;
    int pages = 0;
    std::string error;
};

// One run of the filter binary, started small (posix_spawn) so its peak is its own.
Figures runFilter(const std::string &root, const std::string &queue, const std::string &raster)
{
    const std::string err = root + "/stderr";
    std::vector<std::string> args = {queue, "1", "bench", "memory", "1", "", raster};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = {"PPD=" PPD_SOURCE, "RASTERPRESS_TEST_ROOT=" + root,
                                    "CUPS_SERVER=127.0.0.1:1", "PATH=/usr/bin:/bin"};
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Figures f;
    pid_t pid;
    int rc = posix_spawn(&pid, RASTERPRESS_BIN, &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return f;
    int st = 0;
    struct rusage ru = {};
    if (wait4(pid, &st, 0, &ru) != pid)
        return f;
    f.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    f.peakMb = ru.ru_maxrss / 1024;
    f.cpuSec = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    const std::string text = readAll(err);
    for (size_t at = 0; (at = text.find("\nPAGE: ", at)) != std::string::npos; ++at)
        f.pages++;
    size_t e = text.find("ERROR: ");
    if (e != std::string::npos)
        f.error = text.substr(e, text.find('\n', e) - e);
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    int pages = 1;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pages") && i + 1 < argc)
            pages = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc)
            keep = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--pages N] [--keep DIR]\n", argv[0]);
            return 2;
        }
    }
    char tmpl[] = "/tmp/rp-memory-XXXXXX";
    std::string root = keep.empty() ? std::string(mkdtemp(tmpl) ? tmpl : "") : keep;
    if (root.empty())
        return 1;
    mkdir(root.c_str(), 0755);
    mkdir((root + "/tmp").c_str(), 01777);
    // A printer that prints 1200 dpi as it is: its capability cache says so.
    std::string cap(1026, '\0');
    cap[1] = 0x20;
    if (FILE *f = std::fopen((root + "/tmp/q1200.dat").c_str(), "wb")) {
        std::fwrite(cap.data(), 1, cap.size(), f);
        std::fclose(f);
    }

    const std::string hostile = root + "/hostile.ras", real = root + "/real-a3.ras";
    if (!makeRealA3(real, pages) || !makeHostile(hostile, pages)) {
        std::fprintf(stderr, "could not make the rasters\n");
        return 1;
    }
    struct stat st;
    stat(hostile.c_str(), &st);
    std::printf("hostile raster: 65504 x 10900 pixels, 24 bits, 1200 dpi, A3 page, %lld bytes for %d page(s)\n",
                static_cast<long long>(st.st_size), pages);
    std::printf("%-14s %-34s %6s %9s %8s %6s  %s\n", "page", "printer", "status", "peak MB", "CPU s", "pages",
                "error");
    const struct {
        const char *name;
        const std::string &raster;
    } kinds[] = {{"real A3", real}, {"hostile", hostile}};
    const struct {
        const char *queue;
        const char *what;
    } printers[] = {{"q600", "halves 1200 dpi"}, {"q1200", "true 1200 dpi"}};
    for (const auto &k : kinds)
        for (const auto &p : printers) {
            Figures f = runFilter(root, p.queue, k.raster);
            std::printf("%-14s %-34s %6d %9ld %8.2f %6d  %s\n", k.name, p.what, f.status, f.peakMb, f.cpuSec,
                        f.pages, f.error.c_str());
            std::fflush(stdout);
        }
    if (keep.empty())
        (void)!std::system(("rm -rf '" + root + "'").c_str());
    return 0;
}
