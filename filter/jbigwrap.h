// JBIG1 coding of one page bitmap through JBIG-KIT: the encoder the page record
// uses and a decoder for checking what was sent.
#pragma once

#include <cstddef>

#include "wintypes.h"

enum { JBIG_BIH_SIZE = 20 };

// Encoder options of the two controller families.
enum { JBIG_OPTIONS_DEFAULT = 8 /* typical prediction */, JBIG_OPTIONS_ZR4 = 64 /* two-line template */ };

// Context of the encoder's data callback. The output area grows (realloc)
// when a page produces more than it holds, so `buf` may change during a call.
struct JbigOutput {
    BYTE *buf;        // output area, malloc'd, owned by the caller
    size_t cap;       // bytes allocated at buf
    size_t len;       // running output length: where the next block goes
    DWORD count;      // blocks delivered so far
    int removeHeader; // the first block (the 20-byte image header) is not kept
    int failed;       // the area could not grow; the output is incomplete
};

// Data callback for jbg_enc_init: appends each block at out->len.
void OutJBIGData(unsigned char *start, size_t len, void *file);

// Encodes a width x height bitmap (rows of (width + 7) / 8 bytes, MSB first,
// 1 = black) as one stripe, appending to `out` from out->len on. Returns the
// bytes added (header dropped when RemoveHeader), 0 on bad arguments or when
// the output area could not grow.
DWORD Tolvan_JBIGCompression(DWORD width, DWORD height, const BYTE *bitmap, JbigOutput *out,
                             int order, int options, BOOL RemoveHeader);

// Decodes one complete bi-level image entity. On TRUE *image is a malloc'd
// bitmap of *height rows of (*width + 7) / 8 bytes that the caller frees.
// Images wider or taller than maxWidth / maxHeight are refused before any
// large allocation.
BOOL Tolvan_BIEDecoding(const BYTE *bie, size_t len, BYTE **image, DWORD *width, DWORD *height,
                        DWORD maxWidth, DWORD maxHeight);

// The 20-byte image header the encoder writes for a one-stripe page, for data
// sent without it.
void JBIG_MakeHeader(BYTE bih[JBIG_BIH_SIZE], DWORD width, DWORD height, int order, int options);
