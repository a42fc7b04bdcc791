// The job header: the start-of-job cancel sequence and the block of PJL lines
// that describe the job to the printer.
#include "pjl_internal.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unistd.h>

#include "header_word.h"
#include "velmora.h"

static std::string CleanValue(const std::string &v, bool quoted)
{
    std::string out = v;
    for (char &c : out) {
        unsigned char u = (unsigned char)c;
        if (u < 0x20 || u == 0x7f)
            c = ' ';
        else if (quoted && c == '"')
            c = '\'';
    }
    return out;
}

// Largest prefix of `s` of at most n bytes that does not split a UTF-8 character.
static size_t Utf8Cut(const std::string &s, size_t n)
{
    if (n >= s.size())
        return s.size();
    while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;
    return n;
}

std::string BuildHeaderBlock(const std::vector<PjlLine> &lines, size_t cap)
{
    std::vector<std::string> values;
    size_t fixed = strlen(UELStr), total = 0, longest = 0;
    for (const PjlLine &l : lines) {
        values.push_back(CleanValue(l.value, l.quoted));
        fixed += l.prefix.size() + (l.quoted ? 2 : 0) + 2;
        total += values.back().size();
        longest = std::max(longest, values.back().size());
    }
    if (fixed + total > cap) {
        // Cut only the longest values: find the largest common cap that fits.
        size_t room = cap > fixed ? cap - fixed : 0;
        size_t lo = 0, hi = longest;
        while (lo < hi) {
            size_t mid = (lo + hi + 1) / 2, sum = 0;
            for (const std::string &v : values)
                sum += std::min(v.size(), mid);
            if (sum <= room)
                lo = mid;
            else
                hi = mid - 1;
        }
        for (std::string &v : values)
            v.resize(Utf8Cut(v, lo));
    }
    std::string block = UELStr;
    for (size_t i = 0; i < lines.size(); i++) {
        const PjlLine &l = lines[i];
        if (block.size() + l.prefix.size() + 2 > cap)
            break; // only when the fixed text alone exceeds the block
        block += l.prefix;
        if (l.quoted)
            block += '"';
        block += values[i];
        if (l.quoted)
            block += '"';
        block += "\r\n";
    }
    return block;
}

// An accounting answer that spells one of the two choices (in any case), else null.
static const char *SpelledChoice(const char *answer, const char *one, const char *other)
{
    return (strcasecmp(answer, one) == 0 || strcasecmp(answer, other) == 0) ? answer : nullptr;
}

std::vector<PjlLine> JobHeaderLines(cups_page_header2_t *h, const StartJobInfo &in,
                                    const char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE])
{
    const BYTE *f = in.Feature;
    const bool rmq0 = in.DriverFeature & DRVF_RMQ_MODE0;
    const bool rmq1 = in.DriverFeature & DRVF_RMQ_MODE1;
    char buf[64];
    std::vector<PjlLine> v;
    auto add = [&v](const char *prefix, const std::string &value, bool quoted) {
        v.push_back({prefix, value, quoted});
    };
    auto str = [](const char *s) { return std::string(s ? s : ""); };

    add("@PJL", "", false);
    add("@PJL JOB NAME=", std::to_string((int)in.Tick), true);
    add("@PJL SET TIMEOUT=", std::to_string(h->cupsInteger[6] ? (int)h->cupsInteger[6] : 300), false);
    add("@PJL COMMENT Filter Version,", str(in.DriverVersion), false);
    add("@PJL COMMENT ", str(in.szDocName), false);
    add("@PJL COMMENT ", str(in.szUserName), false);
    add("@PJL COMMENT ", str(in.HostName), false);
    add("@PJL COMMENT ", str(in.PrinterName), false);
    add("@PJL COMMENT ", str(in.PrinterPortName), false);
    add("@PJL COMMENT ", "", false);
    snprintf(buf, sizeof buf, "%04d/%02d/%02d", in.year, in.month, in.day);
    add("@PJL COMMENT ", buf, false);
    snprintf(buf, sizeof buf, "%02d:%02d:%02d:00", in.hour, in.minute, in.second);
    add("@PJL COMMENT ", buf, false);
    snprintf(buf, sizeof buf, "%2d", (in.DriverFeature & DRVF_ZR4_CHIP) ? 64 : 8);
    add("@PJL COMMENT JBIG,00,", buf, false);
    add("@PJL COMMENT Copies,", std::to_string(h->NumCopies), false);
    add("@PJL COMMENT ", str(in.PrinterLocation), false);
    if (rmq1) {
        add("@PJL SET FAUTHCODE=", "KVRMTZAPHOLE31846027", false);
        add("@PJL SET ORDERNO=", "KVRMTDINWELU31846027", false);
        add("@PJL SET USERNAME=", "KVRMTZAPHOLE31846027", true);
        add("@PJL SET ACCTPASS=", "KVRMTDINWELU31846027", true);
    }
    if (rmq0) {
        add("@PJL SET FAUTHCODE=", json[0], true);
        add("@PJL SET USERNAME=", json[1], true);
        add("@PJL SET ACCTPASS=", json[2], true);
        add("@PJL SET NOTIFYURL=", json[5], true);
        add("@PJL SET CHECKAUTHCODEURL=", json[6], true);
    }
    add("@PJL SET JOBNAME=", str(in.szUserName) + ":" + str(in.szDocName), true);
    if (in.AccountName && in.AccountName[0])
        add("@PJL SET USERNAME=", in.AccountName, true);
    if (in.AccountPwd && in.AccountPwd[0])
        add("@PJL SET ACCTPASS=", in.AccountPwd, true);
    add("@PJL SET ECONOMODE=", HasCap(f, CAP_SW_TONERSAVE) ? "OFF" : (h->cupsInteger[0] ? "ON" : "OFF"),
        false);
    add("@PJL SET DENSITY=", std::to_string(h->cupsCompression + 1), false);
    add("@PJL SET AUTOSELECT=", h->MediaPosition == 250 ? "ON" : "OFF", false);
    // The job's one duplex decision: any non-zero Duplex of the raster, or in RMQ mode 0
    // the accounting answer (ON in any case; anything else, or none, is one-sided).
    // The line says what the job does; the answer's own spelling of ON or OFF is kept.
    const bool duplex = rmq0 ? strcasecmp(json[3], "ON") == 0 : HeaderWord(h->Duplex) != 0;
    const char *duplexAnswer = rmq0 ? SpelledChoice(json[3], "ON", "OFF") : nullptr;
    add("@PJL SET DUPLEX=", duplexAnswer ? duplexAnswer : (duplex ? "ON" : "OFF"), false);
    h->Duplex = duplex ? CUPS_TRUE : CUPS_FALSE;
    // Its one tumble decision: in RMQ mode 0 an answer of CALENDAR or BOOKLET, else the
    // raster's Tumble. The back-page turn follows the same value, so the line states it.
    const char *tumbleAnswer = rmq0 ? SpelledChoice(json[4], "CALENDAR", "BOOKLET") : nullptr;
    const bool tumble = tumbleAnswer ? strcasecmp(tumbleAnswer, "CALENDAR") == 0 : HeaderWord(h->Tumble) != 0;
    add("@PJL SET DUPLEXTYPE=", tumbleAnswer ? tumbleAnswer : (tumble ? "CALENDAR" : "BOOKLET"), false);
    h->Tumble = tumble ? CUPS_TRUE : CUPS_FALSE;
    int res = 600;
    if (HasCap(f, CAP_1200X1200))
        res = std::max(600, (int)h->HWResolution[0]);
    add("@PJL SET RESOLUTION=", std::to_string(res), false);
    bool ret = !HasCap(f, CAP_1200X1200) && HasCap(f, CAP_600_RET) && h->cupsInteger[8] == 2;
    if (ret)
        DbgMessage("PJL_WriteStartJobCmd", "low power 600");
    add("@PJL SET RET=", ret ? "ON" : "OFF", false);
    add("@PJL SET BITSPERPIXEL=", (HasCap(f, CAP_TWO_BIT_600) && h->cupsInteger[8] == 2) ? "2" : "1", false);
    if (HasCap(f, CAP_SSL))
        add("@PJL SET ENCRYPTION = SSL", "", false);
    add("@PJL SET COPIES=", std::to_string(PrinterCopies(h, in.bDriverDoCollate)), false);
    add("@PJL SET MEDIASOURCE=", "TRAY1", false);
    add("@PJL SET JUSTIFIED=", "LEFT", false);
    add("@PJL SET MIRROR=", "OFF", false);
    add("@PJL SET MARGINS=", "NORMAL", false);
    if (HasCap(f, CAP_IMPR))
        add("@PJL SET IMPR=1", "", false);
    add("@PJL SET BIDICOMM=", "OFF", false);
    DbgMessage("PJL_WriteStartJobCmd", "ori = %d", (int)HeaderWord(h->Orientation));
    add("@PJL SET ORIENTATION=", HeaderWord(h->Orientation) ? "LANDSCAPE" : "PORTRAIT", false);
    add("@PJL ENTER LANGUAGE=QZGDI", "", false);
    return v;
}

BOOL PJL_WriteStartJobCmd(cups_page_header2_t *inheader, int numUP, const char *PrinterName,
                          const char *szUserName, const char *szDocName, const char *szJsonFile,
                          BOOL bDriverDoCollate, const char *PrinterLocation, const BYTE *Feature,
                          DWORD DriverFeature, const char *DriverVersion, const char *AccountName,
                          const char *AccountPwd, const char *PrinterPortName)
{
    DbgMessage("PJL_WriteStartJobCmd", "In");
    static const BYTE zeros[512] = {0};
    WritePort(DrvCancelStr, 1, 43, stdout);
    WritePort(zeros, 1, sizeof zeros, stdout);
    count_bytes += 43 + 512;
    gOutputSize = 555;

    // One reading of the clock for both the date and the time line.
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char host[65] = {0};
    gethostname(host, 64);

    char json[JSON_OUT_SLOTS][JSON_SLOT_SIZE];
    memset(json, 0, sizeof json);
    if ((DriverFeature & DRVF_RMQ_MODE0) && szJsonFile && szJsonFile[0])
        ParseJSON(szJsonFile, json);

    StartJobInfo in{numUP,           PrinterName,     szUserName,    szDocName,      bDriverDoCollate,
                    PrinterLocation, Feature,         DriverFeature, DriverVersion,  AccountName,
                    AccountPwd,      PrinterPortName, host,          GetTickCount(), lt.tm_year + 1900,
                    lt.tm_mon + 1,   lt.tm_mday,      lt.tm_hour,    lt.tm_min,      lt.tm_sec};
    std::string block = BuildHeaderBlock(JobHeaderLines(inheader, in, json));

    gOutputSize += (int)block.size();
    WritePort(block.data(), 1, block.size(), stdout);
    count_bytes += (DWORD)block.size();
    DbgMessage("PJL_WriteStartJobCmd", "count_bytes = %d", (int)count_bytes.load());
    DbgMessage("PJL_WriteStartJobCmd", "Out, Tick = %d", (int)GetTickCount());
    return TRUE;
}
