// The QZGDI page record: ESC "E", the 32-byte page header, then the payload
// (JBIG data or the raw bitmap, an optional checksum, optionally encrypted).
#pragma once

#include <cstdint>

#include <cups/raster.h>

#include "pageslot.h"
#include "wintypes.h"

enum {
    PAGE_HEADER_SIZE = 32,
    PAGE_RECORD_HEAD = 2 + PAGE_HEADER_SIZE, // ESC "E" + header; the payload starts here
};

// Engine paper codes (PageHeader::paper_type).
enum EnginePaper : BYTE {
    ENG_INVALID = 0,
    ENG_ISO_A3 = 1,
    ENG_ISO_A4 = 2,
    ENG_ISO_A5 = 3,
    ENG_ISO_A6 = 4,
    ENG_ISO_B4 = 5,
    ENG_ISO_B5 = 6,
    ENG_ISO_B6 = 7,
    ENG_ISO_C4 = 8,
    ENG_ISO_C5 = 9,
    ENG_ISO_C6 = 10,
    ENG_JIS_B4 = 11,
    ENG_JIS_B5 = 12,
    ENG_JIS_B6 = 13,
    ENG_ST = 14,
    ENG_LETTER = 15,
    ENG_LEGAL = 16,
    ENG_FOOLSCAP = 17,
    ENG_FOLIO = 18,
    ENG_TABLOID = 19,
    ENG_EXECUTIVE = 20,
    ENG_COM6 = 21,
    ENG_MONARCH = 22,
    ENG_COM9 = 23,
    ENG_COM10 = 24,
    ENG_DL = 25,
    ENG_JIS_HAGAKI = 26,
    ENG_JIS_OUFUKI = 27,
    ENG_POSTCARD = 28,
    ENG_BUSINESS = 29,
    ENG_DLT = 30,
    ENG_8K = 31,
    ENG_16K = 32,
    ENG_YOUKEI2 = 33,
    ENG_YOUKEI4 = 34,
    ENG_A3WIDE = 35,
    ENG_A4WIDE = 36,
    ENG_RESERVED_1 = 37,
    ENG_RESERVED_2 = 38,
    ENG_RESERVED_3 = 39,
    ENG_AUTO = 40,
    ENG_PAPER_CUSTOMER = 96,
    ENG_UNKNOWN = 128,
    ENG_LEF = 128, // long-edge feed: the short-edge code plus this
    ENG_ISO_A3_LEF = 129,
    ENG_ISO_A4_LEF = 130,
    ENG_ISO_A5_LEF = 131,
    ENG_ISO_A6_LEF = 132,
    ENG_ISO_B4_LEF = 133,
    ENG_ISO_B5_LEF = 134,
    ENG_ISO_B6_LEF = 135,
    ENG_ISO_C4_LEF = 136,
    ENG_ISO_C5_LEF = 137,
    ENG_ISO_C6_LEF = 138,
    ENG_JIS_B4_LEF = 139,
    ENG_JIS_B5_LEF = 140,
    ENG_JIS_B6_LEF = 141,
    ENG_ST_LEF = 142,
    ENG_LETTER_LEF = 143,
    ENG_LEDGER = 147,
    ENG_POSTCARD_LEF = 156,
    ENG_16K_LEF = 160,
    ENG_A3WIDE_LEF = 163,
    ENG_A4WIDE_LEF = 164,
};

// Engine media codes (PageHeader::MediaType).
enum EngineMedia : BYTE {
    ENG_MEDIA_AUTO = 0,
    ENG_MEDIA_CARDSTOCK = 1,
    ENG_MEDIA_TRANSPARENCY = 2,
    ENG_MEDIA_ENVELOPE = 3,
    ENG_MEDIA_LETTERHEAD = 4,
    ENG_MEDIA_POSTCARD = 5,
    ENG_MEDIA_LABELS = 6,
    ENG_MEDIA_COATED = 7,
    ENG_MEDIA_PLAIN = 8,
    ENG_MEDIA_PREPRINTED = 9,
    ENG_MEDIA_BOND = 10,
    ENG_MEDIA_RECYCLED = 11,
    ENG_MEDIA_VELLUM = 12,
    ENG_MEDIA_ROUGH = 13,
    ENG_MEDIA_COLOR = 14,
    ENG_MEDIA_PREPUNCHED = 15,
    ENG_MEDIA_2NDSIDE = 16,
    ENG_MEDIA_THICK = 17,
    ENG_MEDIA_HIGHQUALITY = 18,
    ENG_MEDIA_THIN = 19,
    ENG_MEDIA_LASER = 20,
    ENG_MEDIA_CUSTOM3 = 21,
    ENG_MEDIA_XRAY = 22,
    ENG_MEDIA_CUSTOM5 = 23,
    ENG_MEDIA_CUSTOM6 = 24,
    ENG_MEDIA_CUSTOM7 = 25,
    ENG_MEDIA_CUSTOM8 = 26,
    ENG_MEDIA_CUSTOM2 = 27,
};

// cupsMediaType 0..9 -> engine media code.
enum { MEDIA_TYPE_ENTRIES = 10 };
extern const int16_t MediaType[MEDIA_TYPE_ENTRIES];

// Engine media code of a cupsMediaType; values outside the table are sent as
// plain paper, the table's own default (cupsMediaType 0).
BYTE MediaTypeCode(unsigned cupsMediaType);

// Tray value meaning "select automatically".
enum { MEDIA_POSITION_AUTO = 250 };

#pragma pack(push, 1)
struct PageHeader {
    char idf[4]; // "GDI" and a zero byte
    DWORD page_width;
    DWORD page_height;
    DWORD datasize;
    DWORD compsize;
    DWORD blackDots;
    BYTE paper_type;
    BYTE MediaType;
    BYTE MediaPosition;
    BYTE OutBin;
    BYTE Bits;
    BYTE Colors;
    BYTE ColorMode;
    BYTE CompMethod;
};
#pragma pack(pop)
static_assert(sizeof(PageHeader) == PAGE_HEADER_SIZE, "the page header is 32 bytes on the wire");

// The header's wire form is little-endian whatever the host; these convert.
void StorePageHeader(const PageHeader &h, BYTE out[PAGE_HEADER_SIZE]);
BOOL LoadPageHeader(const BYTE in[PAGE_HEADER_SIZE], PageHeader *h); // FALSE when idf is wrong

// Little-endian 32-bit field access for the record and spool formats.
inline void PutLE32(BYTE *p, DWORD v)
{
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}
inline DWORD GetLE32(const BYTE *p)
{
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

// Header field values that depend only on the job's bits and the page header.
BYTE CompMethodFor(DWORD DriverFeature, const BYTE *Feature);
BOOL TwoBitMode(const BYTE *Feature, const cups_page_header2_t *h);

// Engine paper code of a page size: the first enabled row of the paper table
// with exactly this size, else ENG_PAPER_CUSTOMER; long-edge codes on A3-class
// printers.
int GetPaperSizeCode(const cups_page_header2_t *h, int PrinterA3);

// Replaces the slot's bitmap with its page record (header bytes still to be
// filled by PJL_WritePageHeader) and sets blackDots, outLen and CompressSize.
// On FALSE the page could not be built: outLen is 0, the slot keeps its
// bitmap, and there is no record to send.
BOOL ImageCompress(JobInfo *slot);

// Fills the 32 header bytes at `hdr` (the record's byte 2). In two-bit mode the
// slot's page_width is halved first, so the header holds the pixel width.
void PJL_WritePageHeader(JobInfo *slot, BYTE *hdr, DWORD CompressSize, DWORD blackDots);

// Sampled checksums of the slot's bitmap; the ZR4 form marks its four corner
// bytes with 0xAA.
DWORD DataPatternChkSum(JobInfo *slot);
DWORD DataPatternChkSum_new(JobInfo *slot);
