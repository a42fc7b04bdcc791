#include "images.h"

#include <cstdio>
#include <memory>
#include <vector>

#include <png.h>

namespace {

struct Plane {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rows; // (width + 7) / 8 bytes a row, 1 = black
};

// One bit a pixel, whatever the page's bit depth.
Plane toOneBit(const DecodedPage &pg)
{
    Plane p;
    p.width = pg.width;
    p.height = pg.height;
    const size_t inLine = size_t(pg.width) * pg.bits / 8, outLine = (pg.width + 7) / 8;
    if (pg.bits == 1) {
        p.rows = pg.bitmap;
        return p;
    }
    p.rows.assign(outLine * pg.height, 0);
    for (uint32_t y = 0; y < pg.height; ++y)
        for (uint32_t x = 0; x < pg.width; ++x) {
            const uint8_t b = pg.bitmap[y * inLine + x / 4];
            if ((b >> (6 - 2 * (x % 4))) & 3)
                p.rows[y * outLine + x / 8] |= uint8_t(0x80 >> (x % 8));
        }
    return p;
}

bool writePbm(const Plane &p, const std::string &path)
{
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f)
        return false;
    std::fprintf(f.get(), "P4\n%u %u\n", p.width, p.height);
    return std::fwrite(p.rows.data(), 1, p.rows.size(), f.get()) == p.rows.size();
}

// The rows proper; libpng reports errors by longjmp back into writePng.
void pngRows(png_structp png, png_infop info, FILE *f, const Plane &p, bool twoPlanes)
{
    const size_t line = (p.width + 7) / 8;
    const uint32_t outH = twoPlanes ? p.height / 2 : p.height;
    std::vector<uint8_t> row(twoPlanes ? size_t(p.width) * 3 : line);
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, outH, twoPlanes ? 8 : 1,
                 twoPlanes ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < outH; ++y) {
        const uint8_t *black = p.rows.data() + size_t(y) * line;
        if (!twoPlanes) {
            for (size_t i = 0; i < line; ++i)
                row[i] = uint8_t(~black[i]); // PNG grey: 0 is black
        } else {
            const uint8_t *red = black + size_t(outH) * line;
            for (uint32_t x = 0; x < p.width; ++x) {
                const uint8_t m = uint8_t(0x80 >> (x % 8));
                const bool k = black[x / 8] & m, r = red[x / 8] & m;
                row[3 * x] = k ? 0 : 255;
                row[3 * x + 1] = (k || r) ? 0 : 255;
                row[3 * x + 2] = (k || r) ? 0 : 255;
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
}

bool writePng(const Plane &p, bool twoPlanes, const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (info && !setjmp(png_jmpbuf(png))) {
        pngRows(png, info, f, p, twoPlanes);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0 && ok;
}

} // namespace

bool WritePageImage(const DecodedPage &pg, const std::string &path, bool png)
{
    if (pg.bitmap.empty())
        return false;
    const Plane p = toOneBit(pg);
    if (png)
        return writePng(p, pg.colors == 2 && p.height % 2 == 0, path);
    return writePbm(p, path);
}
