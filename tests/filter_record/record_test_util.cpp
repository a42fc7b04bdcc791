#include "record_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>

#include <filesystem>

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/recordtest.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string &path, const Bytes &data)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return {};
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int run(const std::string &cmdline)
{
    int st = std::system(cmdline.c_str());
    if (st == -1 || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

Bytes fromHex(const std::string &h)
{
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
    return b;
}

Bytes noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed ? seed : 1;
    for (auto &v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = uint8_t(x >> 7);
    }
    return b;
}

bool readPbm(const std::string &path, Bitmap *out)
{
    Bytes f = readFile(path);
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < f.size()) {
            if (f[i] == '#') {
                while (i < f.size() && f[i] != '\n')
                    ++i;
            } else if (f[i] == ' ' || f[i] == '\t' || f[i] == '\r' || f[i] == '\n') {
                ++i;
            } else {
                break;
            }
        }
    };
    auto number = [&](unsigned *v) {
        skipSpace();
        if (i >= f.size() || f[i] < '0' || f[i] > '9')
            return false;
        *v = 0;
        while (i < f.size() && f[i] >= '0' && f[i] <= '9')
            *v = *v * 10 + unsigned(f[i++] - '0');
        return true;
    };
    if (f.size() < 2 || f[0] != 'P' || f[1] != '4')
        return false;
    i = 2;
    if (!number(&out->width) || !number(&out->height) || i >= f.size())
        return false;
    ++i; // the single whitespace byte before the raster
    const size_t need = size_t((out->width + 7) / 8) * out->height;
    if (f.size() - i < need)
        return false;
    out->bits.assign(f.begin() + long(i), f.begin() + long(i + need));
    return true;
}

unsigned long popcount(const uint8_t *p, size_t n)
{
    unsigned long c = 0;
    for (size_t k = 0; k < n; ++k)
        c += unsigned(__builtin_popcount(p[k]));
    return c;
}
