// JBIG-KIT wrapper: one page is one stripe of one plane, no resolution layers.
#include "jbigwrap.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <jbig.h>
}

void OutJBIGData(unsigned char *start, size_t len, void *file)
{
    JbigOutput *out = static_cast<JbigOutput *>(file);
    const DWORD block = out->count++;
    if (out->failed)
        return;
    if (block == 0 && out->removeHeader)
        return; // the image header: the printer knows the page from the page header
    if (len > out->cap - out->len) {
        size_t cap = out->cap ? out->cap : 4096;
        while (len > cap - out->len) {
            if (cap > (~size_t(0)) / 2) {
                out->failed = 1;
                return;
            }
            cap *= 2;
        }
        BYTE *grown = static_cast<BYTE *>(std::realloc(out->buf, cap));
        if (!grown) {
            out->failed = 1;
            return;
        }
        out->buf = grown;
        out->cap = cap;
    }
    std::memcpy(out->buf + out->len, start, len);
    out->len += len;
}

DWORD Tolvan_JBIGCompression(DWORD width, DWORD height, const BYTE *bitmap, JbigOutput *out,
                             int order, int options, BOOL RemoveHeader)
{
    if (!out || !bitmap || width == 0 || height == 0 || out->len > out->cap)
        return 0;
    const size_t start = out->len;
    out->count = 0;
    out->removeHeader = RemoveHeader ? 1 : 0;
    out->failed = 0;

    // The encoder reads the plane only (no resolution reduction with 0 layers).
    unsigned char *planes[1] = {const_cast<unsigned char *>(bitmap)};
    jbg_enc_state s;
    jbg_enc_init(&s, width, height, 1, planes, OutJBIGData, out);
    jbg_enc_layers(&s, 0);
    jbg_enc_options(&s, order, options, height, 0, 0);
    jbg_enc_out(&s);
    jbg_enc_free(&s);

    if (out->failed) {
        out->len = start;
        return 0;
    }
    return DWORD(out->len - start);
}

BOOL Tolvan_BIEDecoding(const BYTE *bie, size_t len, BYTE **image, DWORD *width, DWORD *height,
                        DWORD maxWidth, DWORD maxHeight)
{
    if (!bie || !image || !width || !height || len < JBIG_BIH_SIZE)
        return FALSE;
    *image = nullptr;
    *width = *height = 0;
    // The size is in the image header; refuse it before the decoder allocates.
    auto be32 = [](const BYTE *p) {
        return DWORD(p[0]) << 24 | DWORD(p[1]) << 16 | DWORD(p[2]) << 8 | p[3];
    };
    if (be32(bie + 4) > maxWidth || be32(bie + 8) > maxHeight)
        return FALSE;

    jbg_dec_state s;
    jbg_dec_init(&s);
    jbg_dec_maxsize(&s, maxWidth, maxHeight);
    size_t used = 0;
    int rc = jbg_dec_in(&s, const_cast<unsigned char *>(bie), len, &used);
    BOOL ok = FALSE;
    if (rc == JBG_EOK && jbg_dec_getplanes(&s) == 1) {
        const unsigned long w = jbg_dec_getwidth(&s), h = jbg_dec_getheight(&s);
        const unsigned long size = jbg_dec_getsize(&s);
        const unsigned char *plane = jbg_dec_getimage(&s, 0);
        BYTE *copy = plane ? static_cast<BYTE *>(std::malloc(size ? size : 1)) : nullptr;
        if (copy) {
            std::memcpy(copy, plane, size);
            *image = copy;
            *width = DWORD(w);
            *height = DWORD(h);
            ok = TRUE;
        }
    }
    jbg_dec_free(&s);
    return ok;
}

void JBIG_MakeHeader(BYTE bih[JBIG_BIH_SIZE], DWORD width, DWORD height, int order, int options)
{
    auto be32 = [](BYTE *p, DWORD v) {
        p[0] = BYTE(v >> 24);
        p[1] = BYTE(v >> 16);
        p[2] = BYTE(v >> 8);
        p[3] = BYTE(v);
    };
    bih[0] = 0; // lowest resolution layer
    bih[1] = 0; // highest resolution layer
    bih[2] = 1; // planes
    bih[3] = 0;
    be32(bih + 4, width);
    be32(bih + 8, height);
    be32(bih + 12, height); // one stripe
    bih[16] = 0;            // no adaptive template moves
    bih[17] = 0;
    bih[18] = BYTE(order);
    bih[19] = BYTE(options);
}
