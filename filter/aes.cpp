// Page cipher: FIPS-197 Rijndael with table-driven rounds, CBC chaining and
// PKCS#7 padding. The tables are derived at compile time from GF(2^8)
// arithmetic, so there is no hand-copied constant to get wrong.
#include "aes.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "velmora.h"

namespace {

constexpr uint8_t xtime(uint8_t b) { return uint8_t((b << 1) ^ ((b & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t r = 0;
    while (b) {
        if (b & 1)
            r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint32_t rotr8(uint32_t w) { return (w >> 8) | (w << 24); }

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return uint32_t(b0) << 24 | uint32_t(b1) << 16 | uint32_t(b2) << 8 | b3;
}

struct Tables {
    uint8_t S[256] = {};
    uint8_t Si[256] = {};
    uint32_t Te[4][256] = {}; // SubBytes + ShiftRows column + MixColumns
    uint32_t Td[4][256] = {}; // the same for the inverse cipher
    uint32_t U[4][256] = {};  // InvMixColumns alone, for the decryption key schedule
};

constexpr Tables makeTables()
{
    Tables t{};
    // Powers and logarithms of the generator 3 give the multiplicative inverses.
    uint8_t alog[256] = {};
    uint8_t log[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        alog[i] = x;
        log[x] = uint8_t(i);
        x = uint8_t(x ^ xtime(x));
    }
    for (int i = 0; i < 256; ++i) {
        uint8_t inv = i == 0 ? 0 : alog[(255 - log[i]) % 255];
        uint8_t s = inv;
        uint8_t r = inv;
        for (int k = 0; k < 4; ++k) {
            r = uint8_t((r << 1) | (r >> 7));
            s ^= r;
        }
        s ^= 0x63;
        t.S[i] = s;
        t.Si[s] = uint8_t(i);
    }
    for (int i = 0; i < 256; ++i) {
        uint8_t s = t.S[i];
        uint32_t e = word(gmul(s, 2), s, s, gmul(s, 3));
        uint8_t si = t.Si[i];
        uint32_t d = word(gmul(si, 14), gmul(si, 9), gmul(si, 13), gmul(si, 11));
        uint8_t b = uint8_t(i);
        uint32_t u = word(gmul(b, 14), gmul(b, 9), gmul(b, 13), gmul(b, 11));
        for (int k = 0; k < 4; ++k) {
            t.Te[k][i] = e;
            t.Td[k][i] = d;
            t.U[k][i] = u;
            e = rotr8(e);
            d = rotr8(d);
            u = rotr8(u);
        }
    }
    return t;
}

constexpr Tables T = makeTables();

static_assert(T.S[0x00] == 0x63 && T.S[0x53] == 0xed && T.S[0xff] == 0x16, "S-box");
static_assert(T.Si[0x63] == 0x00, "inverse S-box");

inline uint32_t load_be(const BYTE *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void store_be(BYTE *p, uint32_t w)
{
    p[0] = BYTE(w >> 24);
    p[1] = BYTE(w >> 16);
    p[2] = BYTE(w >> 8);
    p[3] = BYTE(w);
}

inline uint32_t u(int v) { return uint32_t(v); }

// ShiftRows offsets of rows 1..3 for a block of NB columns.
template <int NB> struct Shift {
    static constexpr int s1 = 1;
    static constexpr int s2 = NB == 8 ? 3 : 2;
    static constexpr int s3 = NB == 8 ? 4 : 3;
};

template <int NB> void encryptBlock(AES *ctx, const BYTE *in, BYTE *out)
{
    constexpr int s1 = Shift<NB>::s1, s2 = Shift<NB>::s2, s3 = Shift<NB>::s3;
    const int R = ctx->m_iROUNDS;
    uint32_t a[NB], t[NB];
    for (int j = 0; j < NB; ++j)
        a[j] = load_be(in + 4 * j) ^ u(ctx->m_Ke[0][j]);
    for (int r = 1; r < R; ++r) {
        for (int j = 0; j < NB; ++j)
            t[j] = T.Te[0][a[j] >> 24] ^ T.Te[1][(a[(j + s1) % NB] >> 16) & 0xff] ^
                   T.Te[2][(a[(j + s2) % NB] >> 8) & 0xff] ^ T.Te[3][a[(j + s3) % NB] & 0xff] ^
                   u(ctx->m_Ke[r][j]);
        for (int j = 0; j < NB; ++j)
            a[j] = t[j];
    }
    for (int j = 0; j < NB; ++j) {
        uint32_t k = u(ctx->m_Ke[R][j]);
        out[4 * j + 0] = BYTE(T.S[a[j] >> 24] ^ (k >> 24));
        out[4 * j + 1] = BYTE(T.S[(a[(j + s1) % NB] >> 16) & 0xff] ^ (k >> 16));
        out[4 * j + 2] = BYTE(T.S[(a[(j + s2) % NB] >> 8) & 0xff] ^ (k >> 8));
        out[4 * j + 3] = BYTE(T.S[a[(j + s3) % NB] & 0xff] ^ k);
    }
}

template <int NB> void decryptBlock(AES *ctx, const BYTE *in, BYTE *out)
{
    constexpr int s1 = NB - Shift<NB>::s1, s2 = NB - Shift<NB>::s2, s3 = NB - Shift<NB>::s3;
    const int R = ctx->m_iROUNDS;
    uint32_t a[NB], t[NB];
    for (int j = 0; j < NB; ++j)
        a[j] = load_be(in + 4 * j) ^ u(ctx->m_Kd[0][j]);
    for (int r = 1; r < R; ++r) {
        for (int j = 0; j < NB; ++j)
            t[j] = T.Td[0][a[j] >> 24] ^ T.Td[1][(a[(j + s1) % NB] >> 16) & 0xff] ^
                   T.Td[2][(a[(j + s2) % NB] >> 8) & 0xff] ^ T.Td[3][a[(j + s3) % NB] & 0xff] ^
                   u(ctx->m_Kd[r][j]);
        for (int j = 0; j < NB; ++j)
            a[j] = t[j];
    }
    for (int j = 0; j < NB; ++j) {
        uint32_t k = u(ctx->m_Kd[R][j]);
        out[4 * j + 0] = BYTE(T.Si[a[j] >> 24] ^ (k >> 24));
        out[4 * j + 1] = BYTE(T.Si[(a[(j + s1) % NB] >> 16) & 0xff] ^ (k >> 16));
        out[4 * j + 2] = BYTE(T.Si[(a[(j + s2) % NB] >> 8) & 0xff] ^ (k >> 8));
        out[4 * j + 3] = BYTE(T.Si[a[(j + s3) % NB] & 0xff] ^ k);
    }
}

bool validLength(int n) { return n == 16 || n == 24 || n == 32; }

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

void MakeKey(AES *ctx, const char *key, const char *chain, int keylength, int blockSize)
{
    if (!ctx || !key || !chain || !validLength(keylength) || !validLength(blockSize))
        return;
    const int NK = keylength / 4;
    const int BC = blockSize / 4;
    const int longest = keylength > blockSize ? keylength : blockSize;
    const int R = longest == 16 ? 10 : longest == 24 ? 12 : 14;

    ctx->m_keylength = keylength;
    ctx->m_blockSize = blockSize;
    ctx->m_iROUNDS = R;
    std::memcpy(ctx->m_chain0, chain, size_t(blockSize));
    std::memcpy(ctx->m_chain, chain, size_t(blockSize));

    // Key expansion over (R + 1) * BC words, the key taken as big-endian words.
    uint32_t w[(AES_MAX_ROUNDS + 1) * AES_MAX_BC];
    const int total = (R + 1) * BC;
    for (int i = 0; i < NK; ++i) {
        w[i] = load_be(reinterpret_cast<const BYTE *>(key) + 4 * i);
        ctx->tk[i] = int(w[i]);
    }
    uint8_t rcon = 1;
    for (int i = NK; i < total; ++i) {
        uint32_t tmp = w[i - 1];
        if (i % NK == 0) {
            tmp = (tmp << 8) | (tmp >> 24);
            tmp = word(T.S[tmp >> 24], T.S[(tmp >> 16) & 0xff], T.S[(tmp >> 8) & 0xff],
                       T.S[tmp & 0xff]) ^
                  (uint32_t(rcon) << 24);
            rcon = xtime(rcon);
        } else if (NK > 6 && i % NK == 4) {
            tmp = word(T.S[tmp >> 24], T.S[(tmp >> 16) & 0xff], T.S[(tmp >> 8) & 0xff],
                       T.S[tmp & 0xff]);
        }
        w[i] = w[i - NK] ^ tmp;
    }
    for (int r = 0; r <= R; ++r)
        for (int j = 0; j < BC; ++j) {
            ctx->m_Ke[r][j] = int(w[r * BC + j]);
            ctx->m_Kd[R - r][j] = int(w[r * BC + j]);
        }
    // Inner decryption round keys get InvMixColumns (equivalent inverse cipher).
    for (int r = 1; r < R; ++r)
        for (int j = 0; j < BC; ++j) {
            uint32_t k = u(ctx->m_Kd[r][j]);
            ctx->m_Kd[r][j] = int(T.U[0][k >> 24] ^ T.U[1][(k >> 16) & 0xff] ^
                                  T.U[2][(k >> 8) & 0xff] ^ T.U[3][k & 0xff]);
        }
    ctx->m_bKeyInit = 1;
}

void EncryptBlock(AES *ctx, const BYTE *in, BYTE *result)
{
    switch (ctx->m_blockSize) {
    case 16: encryptBlock<4>(ctx, in, result); break;
    case 24: encryptBlock<6>(ctx, in, result); break;
    case 32: encryptBlock<8>(ctx, in, result); break;
    default: break;
    }
}

void DecryptBlock(AES *ctx, const BYTE *in, BYTE *result)
{
    switch (ctx->m_blockSize) {
    case 16: decryptBlock<4>(ctx, in, result); break;
    case 24: decryptBlock<6>(ctx, in, result); break;
    case 32: decryptBlock<8>(ctx, in, result); break;
    default: break;
    }
}

void Xor(AES *ctx, BYTE *buff, const BYTE *chain)
{
    for (int i = 0; i < ctx->m_blockSize; ++i)
        buff[i] ^= chain[i];
}

namespace {

// CBC over 16-byte blocks with the chain kept in registers: the page path.
void encryptCbc16(AES *ctx, const BYTE *in, BYTE *out, size_t n)
{
    const int R = ctx->m_iROUNDS;
    BYTE *chainBytes = reinterpret_cast<BYTE *>(ctx->m_chain);
    uint32_t c0 = load_be(chainBytes), c1 = load_be(chainBytes + 4), c2 = load_be(chainBytes + 8),
             c3 = load_be(chainBytes + 12);
    uint32_t k[AES_MAX_ROUNDS + 1][4];
    for (int r = 0; r <= R; ++r)
        for (int j = 0; j < 4; ++j)
            k[r][j] = u(ctx->m_Ke[r][j]);
    const auto &T0 = T.Te[0], &T1 = T.Te[1], &T2 = T.Te[2], &T3 = T.Te[3];
    for (size_t off = 0; off < n; off += 16) {
        uint32_t a0 = (c0 ^ load_be(in + off)) ^ k[0][0];
        uint32_t a1 = (c1 ^ load_be(in + off + 4)) ^ k[0][1];
        uint32_t a2 = (c2 ^ load_be(in + off + 8)) ^ k[0][2];
        uint32_t a3 = (c3 ^ load_be(in + off + 12)) ^ k[0][3];
        for (int r = 1; r < R; ++r) {
            const uint32_t t0 = T0[a0 >> 24] ^ T1[(a1 >> 16) & 0xff] ^ T2[(a2 >> 8) & 0xff] ^
                                T3[a3 & 0xff] ^ k[r][0];
            const uint32_t t1 = T0[a1 >> 24] ^ T1[(a2 >> 16) & 0xff] ^ T2[(a3 >> 8) & 0xff] ^
                                T3[a0 & 0xff] ^ k[r][1];
            const uint32_t t2 = T0[a2 >> 24] ^ T1[(a3 >> 16) & 0xff] ^ T2[(a0 >> 8) & 0xff] ^
                                T3[a1 & 0xff] ^ k[r][2];
            const uint32_t t3 = T0[a3 >> 24] ^ T1[(a0 >> 16) & 0xff] ^ T2[(a1 >> 8) & 0xff] ^
                                T3[a2 & 0xff] ^ k[r][3];
            a0 = t0;
            a1 = t1;
            a2 = t2;
            a3 = t3;
        }
        const uint8_t *S = T.S;
        c0 = (uint32_t(S[a0 >> 24]) << 24 | uint32_t(S[(a1 >> 16) & 0xff]) << 16 |
              uint32_t(S[(a2 >> 8) & 0xff]) << 8 | S[a3 & 0xff]) ^ k[R][0];
        c1 = (uint32_t(S[a1 >> 24]) << 24 | uint32_t(S[(a2 >> 16) & 0xff]) << 16 |
              uint32_t(S[(a3 >> 8) & 0xff]) << 8 | S[a0 & 0xff]) ^ k[R][1];
        c2 = (uint32_t(S[a2 >> 24]) << 24 | uint32_t(S[(a3 >> 16) & 0xff]) << 16 |
              uint32_t(S[(a0 >> 8) & 0xff]) << 8 | S[a1 & 0xff]) ^ k[R][2];
        c3 = (uint32_t(S[a3 >> 24]) << 24 | uint32_t(S[(a0 >> 16) & 0xff]) << 16 |
              uint32_t(S[(a1 >> 8) & 0xff]) << 8 | S[a2 & 0xff]) ^ k[R][3];
        store_be(out + off, c0);
        store_be(out + off + 4, c1);
        store_be(out + off + 8, c2);
        store_be(out + off + 12, c3);
    }
    store_be(chainBytes, c0);
    store_be(chainBytes + 4, c1);
    store_be(chainBytes + 8, c2);
    store_be(chainBytes + 12, c3);
}

} // namespace

int Encrypt(AES *ctx, const BYTE *in, BYTE *result, size_t n)
{
    if (!ctx || !ctx->m_bKeyInit || !in || !result || n == 0 || n % size_t(ctx->m_blockSize))
        return EXMsg_WrongArg;
    if (ctx->m_blockSize == 16) {
        encryptCbc16(ctx, in, result, n);
        return EXMsg_Ok;
    }
    const size_t bs = size_t(ctx->m_blockSize);
    BYTE *chain = reinterpret_cast<BYTE *>(ctx->m_chain);
    for (size_t off = 0; off < n; off += bs) {
        Xor(ctx, chain, in + off);
        EncryptBlock(ctx, chain, chain);
        std::memcpy(result + off, chain, bs);
    }
    return EXMsg_Ok;
}

int Decrypt(AES *ctx, const BYTE *in, BYTE *result, size_t n)
{
    if (!ctx || !ctx->m_bKeyInit || !in || !result || n == 0 || n % size_t(ctx->m_blockSize))
        return EXMsg_WrongArg;
    const size_t bs = size_t(ctx->m_blockSize);
    BYTE *chain = reinterpret_cast<BYTE *>(ctx->m_chain);
    BYTE block[AES_MAX_BC * 4];
    for (size_t off = 0; off < n; off += bs) {
        std::memcpy(block, in + off, bs); // in and result may be the same buffer
        DecryptBlock(ctx, block, result + off);
        Xor(ctx, result + off, chain);
        std::memcpy(chain, block, bs);
    }
    return EXMsg_Ok;
}

int EncryptionAES(const BYTE *strSrc, int len_src, const char *strKey, const char *strIv,
                  BYTE **strDes, int *len_des)
{
    const auto start = std::chrono::steady_clock::now();
    if (strDes)
        *strDes = nullptr;
    if (len_des)
        *len_des = 0;
    if (!strSrc || !strKey || !strIv || !strDes || !len_des || len_src < 0 ||
        len_src > std::numeric_limits<int>::max() - 16)
        return EXMsg_WrongArg;

    const int padded = (len_src / 16 + 1) * 16;
    const BYTE pad = BYTE(16 - len_src % 16);
    BYTE *out = static_cast<BYTE *>(std::malloc(size_t(padded)));
    if (!out)
        return EXMsg_MemoryException;

    AES ctx;
    std::memset(&ctx, 0, sizeof ctx);
    MakeKey(&ctx, strKey, strIv, 16, 16);

    // Whole blocks straight from the caller's buffer, then the padded tail block.
    const size_t whole = size_t(len_src) / 16 * 16;
    int rc = whole ? Encrypt(&ctx, strSrc, out, whole) : EXMsg_Ok;
    if (rc == EXMsg_Ok) {
        BYTE tail[16];
        const size_t rest = size_t(len_src) - whole;
        std::memcpy(tail, strSrc + whole, rest);
        std::memset(tail + rest, pad, 16 - rest);
        rc = Encrypt(&ctx, tail, out + whole, 16);
    }
    std::memset(&ctx, 0, sizeof ctx);
    if (rc != EXMsg_Ok) {
        std::free(out);
        return rc;
    }
    *strDes = out;
    *len_des = padded;
    DbgMessage("EncryptionAES", "using %4.2f second", secondsSince(start));
    return EXMsg_Ok;
}

int DecryptionAES(const BYTE *strSrc, int len_src, const char *strKey, const char *strIv,
                  BYTE **strDes, int *len_des)
{
    if (strDes)
        *strDes = nullptr;
    if (len_des)
        *len_des = 0;
    if (!strSrc || !strKey || !strIv || !strDes || !len_des || len_src <= 0 || len_src % 16)
        return EXMsg_WrongArg;
    BYTE *out = static_cast<BYTE *>(std::malloc(size_t(len_src)));
    if (!out)
        return EXMsg_MemoryException;

    AES ctx;
    std::memset(&ctx, 0, sizeof ctx);
    MakeKey(&ctx, strKey, strIv, 16, 16);
    int rc = Decrypt(&ctx, strSrc, out, size_t(len_src));
    std::memset(&ctx, 0, sizeof ctx);

    if (rc == EXMsg_Ok) {
        const BYTE pad = out[len_src - 1];
        bool ok = pad >= 1 && pad <= 16;
        for (int i = 0; ok && i < pad; ++i)
            ok = out[len_src - 1 - i] == pad;
        if (ok) {
            *strDes = out;
            *len_des = len_src - pad;
            return EXMsg_Ok;
        }
        rc = EXMsg_WrongArg;
    }
    std::free(out);
    return rc;
}

namespace {
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
} // namespace

std::string base64_encode(const BYTE *data, size_t len)
{
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (len - i == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += "==";
    } else if (len - i == 2) {
        uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string base64_decode(const std::string &text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : text) {
        const int v = b64value(c);
        if (v < 0)
            break;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xff);
        }
    }
    return out;
}
