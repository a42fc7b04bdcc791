// Small helpers shared by the page-record tests: temp folders, files, and
// running the command-line tools the tests use as independent oracles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A fresh folder under TMPDIR, removed with its files when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string &path, const Bytes &data);
Bytes readFile(const std::string &path);

// Runs a shell command line; returns its exit status (-1 when it did not run).
int run(const std::string &cmdline);
std::string hex(const uint8_t *p, size_t n);
inline std::string hex(const std::string &s)
{
    return hex(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}
Bytes fromHex(const std::string &h);

// Deterministic pseudo-random bytes.
Bytes noise(size_t n, uint32_t seed);

// A 1-bit image as rows of (width + 7) / 8 bytes, MSB first, 1 = black.
struct Bitmap {
    unsigned width = 0, height = 0;
    Bytes bits;
};
// Reads a binary PBM (P4); false when it is not one.
bool readPbm(const std::string &path, Bitmap *out);
// Set bits in a byte range.
unsigned long popcount(const uint8_t *p, size_t n);
