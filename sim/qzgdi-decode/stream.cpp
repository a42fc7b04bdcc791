#include "stream.h"

#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "jbigwrap.h"

namespace {

const char kUel[] = "\x1b%-12345X";
const size_t kUelLen = 9;
const size_t kHead = 34;      // ESC "E" + page header
// Beyond A3 at 1200 dpi in two-bit and two-plane form, and a bound on what a
// damaged header can make the decoder allocate (256 MiB).
const uint32_t kMaxRowBits = 1u << 15, kMaxRows = 1u << 16;

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool startsWith(const std::vector<uint8_t> &s, size_t at, const char *lit, size_t n)
{
    return s.size() - at >= n && std::memcmp(s.data() + at, lit, n) == 0;
}

std::string hexByte(unsigned v)
{
    static const char d[] = "0123456789abcdef";
    return std::string("0x") + d[(v >> 4) & 15] + d[v & 15];
}

// Checks and decodes one record whose header starts at `at` + 2. Returns the
// record length consumed (0 when the stream is too short to go on).
size_t decodeRecord(const std::vector<uint8_t> &s, size_t at, bool encrypted, DecodedPage &pg)
{
    pg.offset = at;
    if (s.size() - at < kHead) {
        pg.error = "truncated page header";
        return 0;
    }
    const uint8_t *h = s.data() + at + 2;
    pg.width = le32(h + 4);
    pg.height = le32(h + 8);
    pg.datasize = le32(h + 12);
    pg.compsize = le32(h + 16);
    pg.blackDots = le32(h + 20);
    pg.paper = h[24];
    pg.media = h[25];
    pg.tray = h[26];
    pg.bin = h[27];
    pg.bits = h[28];
    pg.colors = h[29];
    pg.colorMode = h[30];
    pg.method = h[31];
    pg.encrypted = encrypted;

    // Payload bounds first: they decide where the next record starts.
    size_t payloadAt = at + kHead;
    size_t sent = pg.compsize;
    if (encrypted) {
        if (s.size() - payloadAt < 4) {
            pg.error = "truncated ciphertext length";
            return 0;
        }
        pg.cipherLen = le32(s.data() + payloadAt);
        payloadAt += 4;
        sent = pg.cipherLen;
    }
    if (s.size() - payloadAt < sent) {
        pg.error = "payload runs past the end of the stream";
        return 0;
    }
    pg.recordLen = payloadAt + sent - at;

    auto fail = [&](const std::string &why) {
        pg.error = why;
        return pg.recordLen;
    };
    if (pg.bits != 1 && pg.bits != 2)
        return fail("Bits " + std::to_string(pg.bits));
    if (pg.colors != 1 && pg.colors != 2)
        return fail("Colors " + std::to_string(pg.colors));
    if (pg.colorMode > 1)
        return fail("ColorMode " + std::to_string(pg.colorMode));
    if (pg.method > 4)
        return fail("CompMethod " + std::to_string(pg.method));
    if (pg.bin != 0)
        return fail("OutBin " + std::to_string(pg.bin));
    const uint64_t bitsPerRow = uint64_t(pg.width) * pg.bits;
    if (pg.width == 0 || pg.height == 0 || bitsPerRow > kMaxRowBits || pg.height > kMaxRows)
        return fail("page size " + std::to_string(pg.width) + "x" + std::to_string(pg.height));
    if (bitsPerRow % 32)
        return fail("row of " + std::to_string(bitsPerRow) + " bits is not a multiple of 32");
    const uint32_t lineBytes = uint32_t(bitsPerRow / 8);
    const uint64_t rawSize = uint64_t(lineBytes) * pg.height;
    if (pg.datasize != rawSize)
        return fail("datasize " + std::to_string(pg.datasize) + ", expected " +
                    std::to_string(rawSize));

    std::vector<uint8_t> payload(s.begin() + long(payloadAt), s.begin() + long(payloadAt + sent));
    if (encrypted) {
        if (pg.cipherLen == 0 || pg.cipherLen % 16)
            return fail("ciphertext length " + std::to_string(pg.cipherLen));
        BYTE *plain = nullptr;
        int plainLen = 0;
        if (DecryptionAES(payload.data(), int(payload.size()), PAGE_AES_KEY, PAGE_AES_IV, &plain,
                          &plainLen) != EXMsg_Ok)
            return fail("ciphertext does not decrypt");
        payload.assign(plain, plain + plainLen);
        std::free(plain);
        if (payload.size() != pg.compsize)
            return fail("decrypted " + std::to_string(payload.size()) + " bytes, compsize " +
                        std::to_string(pg.compsize));
    }

    if (pg.method == 0) {
        if (pg.compsize != rawSize)
            return fail("raw compsize " + std::to_string(pg.compsize));
        pg.bitmap = std::move(payload);
    } else {
        const bool zr4 = pg.method == 2 || pg.method == 4;
        pg.hasChecksum = pg.method >= 3;
        size_t jbigLen = payload.size();
        if (pg.hasChecksum) {
            if (jbigLen < 4)
                return fail("no room for the checksum");
            jbigLen -= 4;
            pg.checksum = le32(payload.data() + jbigLen);
        }
        if (zr4) {
            if (jbigLen < JBIG_BIH_SIZE)
                return fail("JBIG header missing");
            const uint8_t *bih = payload.data();
            if (be32(bih + 4) != bitsPerRow || be32(bih + 8) != pg.height ||
                be32(bih + 12) != pg.height || bih[19] != 64)
                return fail("JBIG header does not match the page header");
            pg.bie.assign(payload.begin(), payload.begin() + long(jbigLen));
        } else {
            BYTE bih[JBIG_BIH_SIZE];
            JBIG_MakeHeader(bih, uint32_t(bitsPerRow), pg.height, 0, JBIG_OPTIONS_DEFAULT);
            pg.bie.assign(bih, bih + JBIG_BIH_SIZE);
            pg.bie.insert(pg.bie.end(), payload.begin(), payload.begin() + long(jbigLen));
        }
        BYTE *img = nullptr;
        DWORD w = 0, hgt = 0;
        if (!Tolvan_BIEDecoding(pg.bie.data(), pg.bie.size(), &img, &w, &hgt, uint32_t(bitsPerRow),
                                pg.height))
            return fail("JBIG data does not decode");
        pg.bitmap.assign(img, img + rawSize);
        std::free(img);
        if (w != bitsPerRow || hgt != pg.height)
            return fail("JBIG image is " + std::to_string(w) + "x" + std::to_string(hgt));
        if (pg.method == 3 && SampledChecksum(pg.bitmap, lineBytes, pg.height) != pg.checksum)
            return fail("checksum does not match the page");
        if (pg.method == 4) {
            const size_t corner[4] = {0, lineBytes - 1u, size_t(lineBytes) * (pg.height - 1),
                                      size_t(rawSize - 1)};
            for (size_t c : corner)
                if (pg.bitmap[c] != 0xAA)
                    return fail("corner byte " + hexByte(pg.bitmap[c]) + " is not marked");
        }
    }

    for (uint8_t b : pg.bitmap)
        pg.setPixels += unsigned(__builtin_popcount(b));
    // The corner form counts the page before its corners were marked; the
    // checksum carries those four original bytes.
    uint64_t counted = pg.setPixels;
    if (pg.method == 4)
        counted = counted - 4 * __builtin_popcount(0xAA) + unsigned(__builtin_popcount(pg.checksum));
    if (counted != pg.blackDots)
        return fail("blackDots " + std::to_string(pg.blackDots) + ", bitmap has " +
                    std::to_string(pg.setPixels));
    return pg.recordLen;
}

} // namespace

uint32_t SampledChecksum(const std::vector<uint8_t> &bitmap, uint32_t lineBytes, uint32_t height)
{
    uint32_t sum = 0;
    for (uint32_t y = 0; y < height; y += 32)
        sum += bitmap[size_t(y) * lineBytes + y % lineBytes];
    return sum + bitmap.back();
}

DecodedJob DecodeJob(const std::vector<uint8_t> &s)
{
    DecodedJob job;
    bool inQzgdi = false, encrypted = false;
    size_t at = 0;
    while (at < s.size() && job.error.empty()) {
        const uint8_t c = s[at];
        if (c == 0x1B && startsWith(s, at, "\x1b" "EGDI\0", 6)) {
            if (!inQzgdi) {
                job.error = "page record before @PJL ENTER LANGUAGE=QZGDI at offset " +
                            std::to_string(at);
                break;
            }
            DecodedPage pg;
            const size_t used = decodeRecord(s, at, encrypted, pg);
            job.pages.push_back(std::move(pg));
            if (!used) {
                job.error = "stream ends inside page " + std::to_string(job.pages.size());
                break;
            }
            at += used;
        } else if (startsWith(s, at, kUel, kUelLen)) {
            at += kUelLen;
        } else if (c == 0x1B && at + 1 < s.size() && s[at + 1] == 'E') {
            at += 2; // printer reset
        } else if (c == 0x1B) {
            ++at; // the lone escape that precedes the PPD's job control text
        } else if (c == 0) {
            ++at; // padding after the start-of-job cancel
        } else if (startsWith(s, at, "@PJL", 4)) {
            size_t end = at;
            while (end < s.size() && s[end] != '\n')
                ++end;
            size_t stop = end;
            if (stop > at && s[stop - 1] == '\r')
                --stop;
            else if (end < s.size()) {
                job.error = "PJL line without CR LF at offset " + std::to_string(at);
                break;
            }
            std::string line(s.begin() + long(at), s.begin() + long(stop));
            if (line == "@PJL ENTER LANGUAGE=QZGDI")
                inQzgdi = true;
            else if (line == "@PJL SET ENCRYPTION = SSL")
                encrypted = true;
            job.pjl.push_back(line);
            at = end < s.size() ? end + 1 : end;
        } else {
            job.error = "unexpected byte " + hexByte(c) + " at offset " + std::to_string(at);
        }
    }
    return job;
}
