// Reads a PJL job of QZGDI page records the way the printer does: PJL lines,
// then one record per page (ESC "E", 32-byte page header, payload), checked
// field by field and decoded to a 1-bit bitmap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedPage {
    // Page header fields as sent.
    uint32_t width = 0, height = 0, datasize = 0, compsize = 0, blackDots = 0;
    unsigned paper = 0, media = 0, tray = 0, bin = 0, bits = 0, colors = 0, colorMode = 0,
             method = 0;
    bool encrypted = false;
    uint32_t cipherLen = 0;      // ciphertext bytes when encrypted
    bool hasChecksum = false;
    uint32_t checksum = 0;       // as sent
    uint64_t setPixels = 0;      // 1 bits of the decoded bitmap
    size_t offset = 0;           // of the record in the stream
    size_t recordLen = 0;        // ESC "E" + header + payload as sent
    std::vector<uint8_t> bitmap; // decoded: height rows of width * bits / 8 bytes
    std::vector<uint8_t> bie;    // the JBIG image as a complete entity (header restored)
    std::string error;           // empty when the record is valid
};

struct DecodedJob {
    std::vector<std::string> pjl; // PJL lines in order, without CR LF
    std::vector<DecodedPage> pages;
    std::string error;            // a fault of the stream outside the records
};

DecodedJob DecodeJob(const std::vector<uint8_t> &stream);

// Checksums the printer recomputes over a decoded bitmap of `lineBytes` rows.
uint32_t SampledChecksum(const std::vector<uint8_t> &bitmap, uint32_t lineBytes, uint32_t height);
