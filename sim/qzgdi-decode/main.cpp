// qzgdi-decode: reads a job as the printer would and leaves its pages as
// image files, one summary line per page.
//
//   qzgdi-decode [--png] [--bie] [--no-images] OUTDIR JOBFILE
//
// JOBFILE "-" reads standard input. Prints "pjl: LINE" for every PJL line,
// "page N: ..." per page record and a closing "pages: N". Exit status 0 when
// the stream and every record are valid, 1 otherwise, 2 on a usage error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "images.h"
#include "stream.h"

namespace {

bool readAll(const std::string &path, std::vector<uint8_t> *out)
{
    FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    const bool ok = !std::ferror(f);
    if (f != stdin)
        std::fclose(f);
    return ok;
}

std::string pageName(const std::string &dir, size_t n, const char *ext)
{
    char name[64];
    std::snprintf(name, sizeof name, "/page-%03zu.%s", n, ext);
    return dir + name;
}

int usage()
{
    std::fprintf(stderr, "usage: qzgdi-decode [--png] [--bie] [--no-images] OUTDIR JOBFILE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    bool png = false, bie = false, images = true;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--png")
            png = true;
        else if (a == "--bie")
            bie = true;
        else if (a == "--no-images")
            images = false;
        else if (a.size() > 2 && a.compare(0, 2, "--") == 0)
            return usage();
        else
            args.push_back(a);
    }
    if (args.size() != 2)
        return usage();
    const std::string outDir = args[0];

    std::vector<uint8_t> stream;
    if (!readAll(args[1], &stream)) {
        std::fprintf(stderr, "qzgdi-decode: cannot read %s: %s\n", args[1].c_str(),
                     std::strerror(errno));
        return 1;
    }
    if ((images || bie) && mkdir(outDir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "qzgdi-decode: cannot create %s: %s\n", outDir.c_str(),
                     std::strerror(errno));
        return 1;
    }

    const DecodedJob job = DecodeJob(stream);
    for (const std::string &line : job.pjl)
        std::printf("pjl: %s\n", line.c_str());

    int bad = 0;
    for (size_t i = 0; i < job.pages.size(); ++i) {
        const DecodedPage &pg = job.pages[i];
        std::printf("page %zu: %ux%u bits=%u colors=%u colormode=%u comp=%u paper=%u media=%u "
                    "tray=%u datasize=%u compsize=%u blackDots=%u set=%llu encrypted=%d",
                    i + 1, pg.width, pg.height, pg.bits, pg.colors, pg.colorMode, pg.method,
                    pg.paper, pg.media, pg.tray, pg.datasize, pg.compsize, pg.blackDots,
                    static_cast<unsigned long long>(pg.setPixels), pg.encrypted ? 1 : 0);
        if (pg.encrypted)
            std::printf(" cipherlen=%u", pg.cipherLen);
        if (pg.hasChecksum)
            std::printf(" checksum=0x%08x", pg.checksum);
        if (!pg.error.empty()) {
            std::printf(" ERROR %s\n", pg.error.c_str());
            ++bad;
            continue;
        }
        std::printf(" ok\n");
        if (images && !WritePageImage(pg, pageName(outDir, i + 1, png ? "png" : "pbm"), png)) {
            std::fprintf(stderr, "qzgdi-decode: cannot write page %zu\n", i + 1);
            ++bad;
        }
        if (bie && !pg.bie.empty()) {
            FILE *f = std::fopen(pageName(outDir, i + 1, "jbg").c_str(), "wb");
            if (!f || std::fwrite(pg.bie.data(), 1, pg.bie.size(), f) != pg.bie.size())
                ++bad;
            if (f)
                std::fclose(f);
        }
    }
    std::printf("pages: %zu\n", job.pages.size());
    if (!job.error.empty()) {
        std::printf("ERROR %s\n", job.error.c_str());
        ++bad;
    }
    return bad ? 1 : 0;
}
