// The page cipher against FIPS-197's known answers and against openssl as an
// independent AES-128-CBC/PKCS#7 implementation with the same key and IV bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "aes.h"
#include "record_test_util.h"

namespace {

const std::string kKeyHex = hex(std::string(PAGE_AES_KEY));
const std::string kIvHex = hex(std::string(PAGE_AES_IV));

Bytes encryptPage(const Bytes &plain, int *rc = nullptr)
{
    BYTE *out = nullptr;
    int len = -1;
    static const BYTE empty = 0; // a zero-length payload still needs a buffer pointer
    int r = EncryptionAES(plain.empty() ? &empty : plain.data(), int(plain.size()), PAGE_AES_KEY, PAGE_AES_IV, &out, &len);
    if (rc)
        *rc = r;
    Bytes b;
    if (r == EXMsg_Ok)
        b.assign(out, out + len);
    std::free(out);
    return b;
}

TEST(PageCipher, FipsKnownAnswers)
{
    struct Case {
        const char *key, *plain, *cipher;
    };
    const Case cases[] = {
        // Appendix B worked example and Appendix C.1-C.3.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617",
         "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        Bytes key = fromHex(c.key), plain = fromHex(c.plain);
        char iv[16] = {};
        AES ctx;
        std::memset(&ctx, 0, sizeof ctx);
        MakeKey(&ctx, reinterpret_cast<const char *>(key.data()), iv, int(key.size()), 16);
        ASSERT_EQ(ctx.m_bKeyInit, 1);
        BYTE out[16], back[16];
        EncryptBlock(&ctx, plain.data(), out);
        EXPECT_EQ(hex(out, 16), c.cipher);
        DecryptBlock(&ctx, out, back);
        EXPECT_EQ(hex(back, 16), c.plain);
    }
}

TEST(PageCipher, MatchesOpensslForPayloadLengths)
{
    TempDir dir;
    // The short lengths cover every padding case; the long one many chained blocks.
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 4099u}) {
        SCOPED_TRACE(len);
        Bytes plain = noise(len, uint32_t(len) + 7);
        writeFile(dir.file("plain"), plain);
        ASSERT_EQ(run("openssl enc -aes-128-cbc -K " + kKeyHex + " -iv " + kIvHex + " -in " +
                      dir.file("plain") + " -out " + dir.file("oracle")),
                  0);
        Bytes oracle = readFile(dir.file("oracle"));
        int rc = 0;
        Bytes ours = encryptPage(plain, &rc);
        ASSERT_EQ(rc, EXMsg_Ok);
        EXPECT_EQ(ours.size(), (len / 16 + 1) * 16);
        EXPECT_EQ(hex(ours.data(), ours.size()), hex(oracle.data(), oracle.size()));

        // And the inverse gives the payload back.
        BYTE *back = nullptr;
        int backLen = -1;
        ASSERT_EQ(DecryptionAES(ours.data(), int(ours.size()), PAGE_AES_KEY, PAGE_AES_IV, &back,
                                &backLen),
                  EXMsg_Ok);
        EXPECT_EQ(Bytes(back, back + backLen), plain);
        std::free(back);
    }
}

TEST(PageCipher, EveryPageStartsFromTheSameKeyAndIv)
{
    Bytes page = noise(100, 3);
    EXPECT_EQ(encryptPage(page), encryptPage(page));
}

TEST(PageCipher, MissingArgumentsDeliverNothing)
{
    BYTE src[4] = {1, 2, 3, 4};
    BYTE *out = reinterpret_cast<BYTE *>(&src); // must be overwritten with null
    int len = 99;
    EXPECT_EQ(EncryptionAES(nullptr, 4, PAGE_AES_KEY, PAGE_AES_IV, &out, &len), EXMsg_WrongArg);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(EncryptionAES(src, 4, nullptr, PAGE_AES_IV, &out, &len), EXMsg_WrongArg);
    EXPECT_EQ(EncryptionAES(src, 4, PAGE_AES_KEY, nullptr, &out, &len), EXMsg_WrongArg);
    EXPECT_EQ(EncryptionAES(src, 4, PAGE_AES_KEY, PAGE_AES_IV, nullptr, &len), EXMsg_WrongArg);
    EXPECT_EQ(EncryptionAES(src, 4, PAGE_AES_KEY, PAGE_AES_IV, &out, nullptr), EXMsg_WrongArg);
    EXPECT_EQ(EncryptionAES(src, -1, PAGE_AES_KEY, PAGE_AES_IV, &out, &len), EXMsg_WrongArg);
    EXPECT_EQ(out, nullptr);
}

TEST(PageCipher, DecryptionRefusesBadInput)
{
    Bytes good = encryptPage(noise(20, 5));
    BYTE *out = nullptr;
    int len = 0;
    // Not whole blocks, empty, or a wrong key (whose padding then does not check).
    EXPECT_EQ(DecryptionAES(good.data(), 31, PAGE_AES_KEY, PAGE_AES_IV, &out, &len),
              EXMsg_WrongArg);
    EXPECT_EQ(DecryptionAES(good.data(), 0, PAGE_AES_KEY, PAGE_AES_IV, &out, &len),
              EXMsg_WrongArg);
    EXPECT_EQ(DecryptionAES(good.data(), int(good.size()), "0000000000000000", PAGE_AES_IV, &out,
                            &len),
              EXMsg_WrongArg);
    EXPECT_EQ(out, nullptr);
}

TEST(PageCipher, KeyScheduleAndChainingRules)
{
    const char key[33] = "0123456789abcdef0123456789abcdef";
    AES ctx;
    BYTE buf[64] = {};
    // Lengths other than 16, 24 or 32 leave the key unset, and Encrypt refuses.
    for (int bad : {0, 8, 20, 64}) {
        std::memset(&ctx, 0, sizeof ctx);
        MakeKey(&ctx, key, key, bad, 16);
        EXPECT_EQ(ctx.m_bKeyInit, 0) << bad;
        EXPECT_EQ(Encrypt(&ctx, buf, buf, 16), EXMsg_WrongArg);
    }
    std::memset(&ctx, 0, sizeof ctx);
    MakeKey(&ctx, key, key, 16, 16);
    EXPECT_EQ(ctx.m_iROUNDS, 10);
    EXPECT_EQ(Encrypt(&ctx, buf, buf, 0), EXMsg_WrongArg);
    EXPECT_EQ(Encrypt(&ctx, buf, buf, 17), EXMsg_WrongArg);

    // Rounds follow the longer of key and block; wider blocks survive a round trip.
    struct Case {
        int keylen, block, rounds;
    };
    for (Case c : {Case{16, 24, 12}, Case{24, 16, 12}, Case{16, 32, 14}, Case{32, 32, 14},
                   Case{24, 24, 12}}) {
        SCOPED_TRACE(testing::Message() << c.keylen << "/" << c.block);
        Bytes plain = noise(size_t(c.block) * 2, 11);
        BYTE enc[64], dec[64];
        std::memset(&ctx, 0, sizeof ctx);
        MakeKey(&ctx, key, key, c.keylen, c.block);
        EXPECT_EQ(ctx.m_iROUNDS, c.rounds);
        ASSERT_EQ(Encrypt(&ctx, plain.data(), enc, plain.size()), EXMsg_Ok);
        EXPECT_NE(Bytes(enc, enc + plain.size()), plain);
        std::memset(&ctx, 0, sizeof ctx);
        MakeKey(&ctx, key, key, c.keylen, c.block);
        ASSERT_EQ(Decrypt(&ctx, enc, dec, plain.size()), EXMsg_Ok);
        EXPECT_EQ(Bytes(dec, dec + plain.size()), plain);
    }
}

TEST(Base64, Rfc4648Vectors)
{
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, coded] : cases) {
        EXPECT_EQ(base64_encode(reinterpret_cast<const BYTE *>(plain), std::strlen(plain)), coded);
        EXPECT_EQ(base64_decode(coded), plain);
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[size_t(i)] = uint8_t(i);
    std::string back = base64_decode(base64_encode(all.data(), all.size()));
    EXPECT_EQ(Bytes(back.begin(), back.end()), all);
}

} // namespace
