// Page record: header fields, paper and media codes, JBIG or raw payload,
// sampled checksums and page encryption.
#include "pagerecord.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "jbigwrap.h"
#include "rasterpress.h"
#include "velmora.h"

const int16_t MediaType[MEDIA_TYPE_ENTRIES] = {
    ENG_MEDIA_PLAIN,    ENG_MEDIA_CARDSTOCK,    ENG_MEDIA_THICK, ENG_MEDIA_LASER,
    ENG_MEDIA_BOND,     ENG_MEDIA_TRANSPARENCY, ENG_MEDIA_THIN,  ENG_MEDIA_ENVELOPE,
    ENG_MEDIA_POSTCARD, ENG_MEDIA_AUTO,
};

BYTE MediaTypeCode(unsigned cupsMediaType)
{
    if (cupsMediaType >= MEDIA_TYPE_ENTRIES)
        return ENG_MEDIA_PLAIN;
    return BYTE(MediaType[cupsMediaType]);
}

void StorePageHeader(const PageHeader &h, BYTE out[PAGE_HEADER_SIZE])
{
    std::memcpy(out, h.idf, 4);
    PutLE32(out + 4, h.page_width);
    PutLE32(out + 8, h.page_height);
    PutLE32(out + 12, h.datasize);
    PutLE32(out + 16, h.compsize);
    PutLE32(out + 20, h.blackDots);
    out[24] = h.paper_type;
    out[25] = h.MediaType;
    out[26] = h.MediaPosition;
    out[27] = h.OutBin;
    out[28] = h.Bits;
    out[29] = h.Colors;
    out[30] = h.ColorMode;
    out[31] = h.CompMethod;
}

BOOL LoadPageHeader(const BYTE in[PAGE_HEADER_SIZE], PageHeader *h)
{
    std::memcpy(h->idf, in, 4);
    h->page_width = GetLE32(in + 4);
    h->page_height = GetLE32(in + 8);
    h->datasize = GetLE32(in + 12);
    h->compsize = GetLE32(in + 16);
    h->blackDots = GetLE32(in + 20);
    h->paper_type = in[24];
    h->MediaType = in[25];
    h->MediaPosition = in[26];
    h->OutBin = in[27];
    h->Bits = in[28];
    h->Colors = in[29];
    h->ColorMode = in[30];
    h->CompMethod = in[31];
    return std::memcmp(in, "GDI", 4) == 0;
}

namespace {

bool compresses(DWORD DriverFeature, const BYTE *Feature)
{
    return !(DriverFeature & DRVF_DISABLE_COMPRESS) && !HasCap(Feature, CAP_RAW_DATA);
}

double msSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Bitmap bytes the record describes; 0 when the slot's geometry is unusable
// (no bitmap, rows that are not page_width / 8 bytes, or a buffer too small).
size_t bitmapBytes(const JobInfo *slot)
{
    if (!slot->lpbuf || slot->page_width == 0 || slot->page_height == 0 ||
        slot->page_width % 8 || slot->linebyte != slot->page_width / 8)
        return 0;
    const size_t bytes = size_t(slot->linebyte) * slot->page_height;
    if (bytes > slot->pagesize || bytes > 0xFFFFFFFFu)
        return 0;
    return bytes;
}

// Encrypted records need room for the length word and up to a block of padding.
constexpr size_t kRecordSlack = 4 /* checksum */ + 4 /* ciphertext length */ + 16 /* padding */;

} // namespace

BYTE CompMethodFor(DWORD DriverFeature, const BYTE *Feature)
{
    if (!compresses(DriverFeature, Feature))
        return 0;
    BYTE m = 1;
    if (DriverFeature & DRVF_ZR4_CHIP)
        m += 1;
    if (HasCap(Feature, CAP_CHECKSUM))
        m += 2;
    return m;
}

BOOL TwoBitMode(const BYTE *Feature, const cups_page_header2_t *h)
{
    return HasCap(Feature, CAP_TWO_BIT_600) && h->cupsInteger[8] == 2;
}

int GetPaperSizeCode(const cups_page_header2_t *h, int PrinterA3)
{
    static const char fn[] = "GetPaperSizeCode";
    int rc = ENG_PAPER_CUSTOMER;
    for (int i = 0; i < PAPER_FORMAT_ROWS; ++i) {
        const PAPERFORMAT &row = gPaperFormat[i];
        DbgMessage(fn, "w = %d", row.w);
        DbgMessage(fn, "h = %d", row.h);
        DbgMessage(fn, "enable = %d", row.enable);
        if (row.enable && unsigned(row.w) == h->PageSize[0] && unsigned(row.h) == h->PageSize[1]) {
            DbgMessage(fn, "found");
            DbgMessage(fn, "i = %d", i);
            rc = row.paper_type;
            break;
        }
    }
    if (PrinterA3) {
        switch (rc) {
        case ENG_ISO_A4: case ENG_ISO_A5: case ENG_JIS_B5: case ENG_ST:
        case ENG_LETTER: case ENG_POSTCARD: case ENG_16K:
            rc += ENG_LEF;
            break;
        default:
            break;
        }
    }
    DbgMessage(fn, "Out, rc = %d", rc);
    return rc;
}

DWORD DataPatternChkSum(JobInfo *slot)
{
    static const char fn[] = "DataPatternChkSum";
    const auto t0 = std::chrono::steady_clock::now();
    const DWORD W = slot ? slot->page_width / 8 : 0;
    const DWORD H = slot ? slot->page_height : 0;
    if (!slot || !slot->lpbuf || slot->page_width < 8 || slot->pagesize == 0 ||
        uint64_t(W) * H > slot->pagesize) {
        DbgMessage(fn, "API_WRONG_PARAMETER");
        return 0;
    }
    const BYTE *p = slot->lpbuf;
    DWORD sum = 0;
    int samples = 0;
    for (DWORD y = 0; y < H; y += 32, ++samples)
        sum += p[size_t(y) * W + y % W];
    sum += p[slot->pagesize - 1];
    ++samples;
    DbgMessage(fn, "sampling %d Bytes to calcute checksum:%d spent %f ms", samples, int(sum),
               msSince(t0));
    DbgMessage(fn, "sampling Byte checksum:%d", int(sum));
    return sum;
}

DWORD DataPatternChkSum_new(JobInfo *slot)
{
    static const char fn[] = "DataPatternChkSum_new";
    const DWORD W = slot ? slot->page_width / 8 : 0;
    const DWORD H = slot ? slot->page_height : 0;
    if (!slot || !slot->lpbuf || slot->page_width == 0 || W == 0 || H == 0 ||
        uint64_t(W) * H > slot->pagesize) {
        DbgMessage(fn, " API_WRONG_PARAMETER");
        return 0xAABBCCDD;
    }
    BYTE *p = slot->lpbuf;
    const size_t corners[4] = {0, size_t(W) - 1, size_t(W) * (H - 1), size_t(W) * H - 1};
    DWORD sum = 0;
    for (size_t at : corners) {
        sum = (sum << 8) | p[at];
        p[at] = 0xAA; // the printer finds these marks in the decoded page
        DbgMessage(fn, "sampling Byte checksum:%0x \n", sum);
    }
    return sum;
}

namespace {

// Puts the encrypted payload in place: length word at byte 34, ciphertext from 38.
bool encryptPayload(BYTE **record, size_t *cap, DWORD *outLen)
{
    BYTE *ct = nullptr;
    int n = 0;
    const int rc = EncryptionAES(*record + PAGE_RECORD_HEAD, int(*outLen), PAGE_AES_KEY,
                                 PAGE_AES_IV, &ct, &n);
    if (rc != EXMsg_Ok) {
        DbgMessage("ImageCompress", "EncryptionAES failed, rc = %d", rc);
        return false;
    }
    DbgMessage("ImageCompress", "out AES data len = %d", n);
    const size_t need = PAGE_RECORD_HEAD + 4 + size_t(n);
    if (need > *cap) {
        BYTE *grown = static_cast<BYTE *>(std::realloc(*record, need));
        if (!grown) {
            std::free(ct);
            return false;
        }
        *record = grown;
        *cap = need;
    }
    PutLE32(*record + PAGE_RECORD_HEAD, DWORD(n));
    std::memcpy(*record + PAGE_RECORD_HEAD + 4, ct, size_t(n));
    std::free(ct);
    *outLen = DWORD(n) + 4;
    return true;
}

// The record build proper; false leaves the slot's bitmap in place.
bool buildRecord(JobInfo *slot)
{
    static const char fn[] = "ImageCompress";
    const auto t0 = std::chrono::steady_clock::now();
    slot->CompressSize = 0;
    slot->blackDots = 0;
    slot->outLen = 0;

    const size_t bytes = bitmapBytes(slot);
    if (!bytes) {
        DbgMessage(fn, "bad page geometry, width = %u, height = %u, linebyte = %u, pagesize = %u",
                   slot->page_width, slot->page_height, slot->linebyte, slot->pagesize);
        return false;
    }

    const bool compress = compresses(slot->DriverFeature, slot->Feature);
    const bool zr4 = slot->DriverFeature & DRVF_ZR4_CHIP;
    const bool checksum = compress && HasCap(slot->Feature, CAP_CHECKSUM);

    // Room for the raw bitmap and the trailing words; JBIG output that is
    // larger (unusual pages) grows the buffer.
    size_t cap = PAGE_RECORD_HEAD + bytes + kRecordSlack;
    BYTE *record = static_cast<BYTE *>(std::malloc(cap));
    if (!record) {
        DbgMessage(fn, "no memory for the page record (%zu bytes)", cap);
        return false;
    }

    if (HasCap(slot->Feature, CAP_SW_TONERSAVE) && slot->inheader.cupsInteger[0]) {
        DbgMessage(fn, "apply toner saving");
        Prnt_SimulateTonerSaving(slot);
    }
    slot->blackDots = Prnt_CountBlackDots(slot->lpbuf, DWORD(bytes));

    DWORD sum = 0;
    if (checksum) {
        sum = zr4 ? DataPatternChkSum_new(slot) : DataPatternChkSum(slot);
        DbgMessage(fn, "checksum = %d", int(sum));
    }

    DWORD outLen = 0;
    if (compress) {
        const int options = zr4 ? JBIG_OPTIONS_ZR4 : JBIG_OPTIONS_DEFAULT;
        JbigOutput out{record, cap, PAGE_RECORD_HEAD, 0, 0, 0};
        outLen = Tolvan_JBIGCompression(slot->page_width, slot->page_height, slot->lpbuf, &out, 0,
                                        options, zr4 ? FALSE : TRUE);
        record = out.buf;
        cap = out.cap;
        DbgMessage(fn, "option = %d", options);
        if (!outLen || cap - PAGE_RECORD_HEAD - outLen < kRecordSlack) {
            // Make room for the checksum and the encryption padding.
            BYTE *grown = outLen ? static_cast<BYTE *>(std::realloc(
                                       record, PAGE_RECORD_HEAD + outLen + kRecordSlack))
                                 : nullptr;
            if (!grown) {
                DbgMessage(fn, "JBIG compression failed");
                std::free(record);
                return false;
            }
            record = grown;
            cap = PAGE_RECORD_HEAD + outLen + kRecordSlack;
        }
    } else {
        std::memcpy(record + PAGE_RECORD_HEAD, slot->lpbuf, bytes);
        outLen = DWORD(bytes);
    }
    DbgMessage(fn, "CompressSize = %d", int(outLen));

    if (checksum) {
        PutLE32(record + PAGE_RECORD_HEAD + outLen, sum);
        outLen += 4;
    }
    slot->CompressSize = outLen;
    DbgMessage(fn, "compress using = %f", msSince(t0) / 1000.0);

    if (HasCap(slot->Feature, CAP_SSL) && !encryptPayload(&record, &cap, &outLen)) {
        std::free(record);
        slot->CompressSize = 0;
        return false;
    }

    record[0] = 0x1B;
    record[1] = 'E';
    std::memset(record + 2, 0, PAGE_HEADER_SIZE);
    DbgMessage(fn, "page data outsize = %d", int(outLen + PAGE_RECORD_HEAD));
    // Give back what the payload did not use; keep the block if that fails.
    if (BYTE *fit = static_cast<BYTE *>(std::realloc(record, PAGE_RECORD_HEAD + outLen)))
        record = fit;
    std::free(slot->lpbuf);
    slot->lpbuf = record;
    slot->outLen = outLen;
    DbgMessage(fn, "out compress data len = %d", int(outLen));
    return true;
}

} // namespace

BOOL ImageCompress(JobInfo *slot)
{
    // Never a half-built or unencrypted page: without its record the page is lost.
    return slot && buildRecord(slot) ? TRUE : FALSE;
}

void PJL_WritePageHeader(JobInfo *slot, BYTE *hdr, DWORD CompressSize, DWORD blackDots)
{
    static const char fn[] = "PJL_WritePageHeader";
    const cups_page_header2_t &ih = slot->inheader;
    const int compressOff = compresses(slot->DriverFeature, slot->Feature) ? 0 : 1;
    const int a3 = (slot->DriverFeature & DRVF_A3) ? 1 : 0;
    DbgMessage(fn, "CompressOff = %d", compressOff);

    PageHeader h;
    std::memset(&h, ' ', sizeof h);
    std::memcpy(h.idf, "GDI", 4);

    const bool twoBit = TwoBitMode(slot->Feature, &ih);
    if (twoBit) {
        slot->page_width /= 2;
        DbgMessage(fn, "two bit 120, page_width = %d", int(slot->page_width));
    }
    h.page_width = slot->page_width;
    h.page_height = slot->page_height;
    h.datasize = slot->page_height * slot->linebyte;
    h.compsize = CompressSize;
    h.blackDots = blackDots;
    h.paper_type = BYTE(GetPaperSizeCode(a3 ? &ih : &ginheader_bak, a3));
    h.MediaType = MediaTypeCode(ih.cupsMediaType);
    h.MediaPosition = ih.MediaPosition == MEDIA_POSITION_AUTO ? BYTE(a3) : BYTE(ih.MediaPosition);
    h.OutBin = 0;
    h.Bits = twoBit ? 2 : 1;
    h.Colors = ih.cupsInteger[4] == 1 ? 2 : 1;
    h.ColorMode = ih.cupsInteger[4] == 2 ? 1 : 0;
    h.CompMethod = CompMethodFor(slot->DriverFeature, slot->Feature);

    DbgMessage(fn, "page_width = %d", int(h.page_width));
    DbgMessage(fn, "page_height = %d", int(h.page_height));
    DbgMessage(fn, "datasize = %d", int(h.datasize));
    DbgMessage(fn, "compsize = %d", int(h.compsize));
    DbgMessage(fn, "blackDots = %d", int(h.blackDots));
    DbgMessage(fn, "paper_type = %d", h.paper_type);
    DbgMessage(fn, "MediaType = %d", h.MediaType);
    DbgMessage(fn, "MediaPosition = %d", h.MediaPosition);
    DbgMessage(fn, "OutBin = %d", h.OutBin);
    DbgMessage(fn, "Bits = %d", h.Bits);
    DbgMessage(fn, "Colors = %d", h.Colors);
    DbgMessage(fn, "ColorMode = %d", h.ColorMode);
    DbgMessage(fn, "CompMethod = %d", h.CompMethod);
    StorePageHeader(h, hdr);
}
