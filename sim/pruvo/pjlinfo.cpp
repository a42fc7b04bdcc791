#include "pjlinfo.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

const char kEnterLanguage[] = "@PJL ENTER LANGUAGE=QZGDI";
const char kComment[] = "@PJL COMMENT ";
const char kVersion[] = "@PJL COMMENT Filter Version,";
const char kCopies[] = "@PJL COMMENT Copies,";
const char kDuplex[] = "@PJL SET DUPLEX=";
const char kSetCopies[] = "@PJL SET COPIES=";
const char kEncryption[] = "@PJL SET ENCRYPTION = SSL";
// Start of every page record: ESC "E", then the page header's "GDI\0".
const unsigned char kRecordMark[6] = {0x1B, 'E', 'G', 'D', 'I', 0};
const size_t kRecordHeader = 34;   // ESC "E" + 32-byte page header
// The job header sits behind a 555-byte cancel prologue and is at most 2 KB.
const size_t kHeadScan = 16384;

bool startsWith(const std::string &s, const char *prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool equalsNoCase(const std::string &a, const char *b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return true;
}

std::string fileTime(const struct stat &st)
{
    struct tm tmv;
    localtime_r(&st.st_mtime, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tmv);
    return buf;
}

// Walks the page records from `offset`; stops at the first byte run that is
// not a record (the close sequence). Encrypted payloads carry their own length.
long countPages(std::FILE *f, long offset, long fileSize, bool encrypted, int &firstPaper)
{
    long pages = 0;
    unsigned char head[kRecordHeader + 4];
    while (offset + long(kRecordHeader) <= fileSize) {
        if (std::fseek(f, offset, SEEK_SET) != 0)
            break;
        size_t want = encrypted ? sizeof head : kRecordHeader;
        size_t got = std::fread(head, 1, want, f);
        if (got < kRecordHeader || std::memcmp(head, kRecordMark, sizeof kRecordMark) != 0)
            break;
        if (pages == 0)
            firstPaper = head[2 + 24];
        uint64_t payload = le32(head + 2 + 16);   // compsize
        if (encrypted) {
            if (got < sizeof head)
                break;
            payload = 4 + uint64_t(le32(head + kRecordHeader));
        }
        ++pages;
        offset += long(kRecordHeader + payload);
    }
    return pages;
}

} // namespace

bool readPjlJob(const std::string &path, PrinterInfo &info)
{
    info = PrinterInfo();
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        std::fclose(f);
        return false;
    }
    std::vector<char> head(kHeadScan);
    size_t n = std::fread(head.data(), 1, head.size(), f);
    std::string text(head.data(), n);
    size_t enter = text.find(kEnterLanguage);
    if (enter == std::string::npos || text.find(kVersion) == std::string::npos) {
        std::fclose(f);
        return false;
    }

    // PJL lines of the header block, up to the language switch.
    std::vector<std::string> comments;
    size_t setCopies = 0;
    bool encrypted = false;
    bool haveSetCopies = false;
    size_t pos = 0;
    while (pos < enter) {
        size_t at = text.find("@PJL", pos);
        if (at == std::string::npos || at >= enter)
            break;
        size_t eol = text.find("\r\n", at);
        if (eol == std::string::npos)
            break;
        std::string line = text.substr(at, eol - at);
        pos = eol + 2;
        if (startsWith(line, kCopies)) {
            info.copies = std::to_string(std::atoi(line.c_str() + std::strlen(kCopies)));
        } else if (startsWith(line, kComment)) {
            comments.push_back(line.substr(std::strlen(kComment)));
        } else if (startsWith(line, kDuplex)) {
            info.duplex = equalsNoCase(line.substr(std::strlen(kDuplex)), "ON") ? "1" : "0";
        } else if (startsWith(line, kSetCopies)) {
            setCopies = std::strtoul(line.c_str() + std::strlen(kSetCopies), nullptr, 10);
            haveSetCopies = true;
        } else if (startsWith(line, kEncryption)) {
            encrypted = true;
        }
    }
    // Comment lines after the version line: title, user, host, queue, device URI.
    size_t first = 0;
    while (first < comments.size() && !startsWith(kComment + comments[first], kVersion))
        ++first;
    auto comment = [&](size_t k) { return first + 1 + k < comments.size() ? comments[first + 1 + k] : std::string(); };
    info.fileName = comment(0);
    info.domainAccount = comment(1);
    info.computerName = comment(2);
    info.printerName = comment(3);
    info.portName = comment(4);
    // Collated copies go out as one copy per pass, so the job asks for one.
    if (std::atoi(info.copies.c_str()) > 1 && haveSetCopies && setCopies == 1)
        info.collate = "1";

    size_t eol = text.find("\r\n", enter);
    long records = eol == std::string::npos ? long(n) : long(eol + 2);
    int paper = 0;
    info.pages = std::to_string(countPages(f, records, long(st.st_size), encrypted, paper));
    info.paperSize = std::to_string(paper);
    info.fileSize = std::to_string(static_cast<long long>(st.st_size));
    info.fileTime = fileTime(st);
    std::fclose(f);
    return true;
}

std::string formatPrinterInfo(const PrinterInfo &info)
{
    const std::pair<const char *, const std::string *> tags[] = {
        {"Copies", &info.copies},
        {"JPrinterName", &info.printerName},
        {"PortName", &info.portName},
        {"Duplex", &info.duplex},
        {"Pages", &info.pages},
        {"Color", &info.color},
        {"Collate", &info.collate},
        {"FileName", &info.fileName},
        {"DomainAccount", &info.domainAccount},
        {"PaperSize", &info.paperSize},
        {"ProcessedFileSize", &info.fileSize},
        {"ProcessedFileTime", &info.fileTime},
        {"ComputerName", &info.computerName},
    };
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PrinterInfo>\n";
    for (const auto &t : tags)
        out += std::string(" <") + t.first + ">" + *t.second + "</" + t.first + ">\n";
    out += "</PrinterInfo>\n";
    return out;
}
