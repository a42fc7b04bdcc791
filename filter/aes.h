// Page cipher: Rijndael (AES-128 for pages) in CBC mode with PKCS#7 padding.
#pragma once

#include <cstddef>
#include <string>

#include "wintypes.h"

// Result codes shared with the rest of the filter; the cipher itself returns
// only EXMsg_Ok, EXMsg_WrongArg and EXMsg_MemoryException.
enum EXMsg {
    EXMsg_Ok = 1,
    EXMsg_NoData = 2,
    EXMsg_RecognizeFailed = 3,
    EXMsg_Cancel = -1,
    EXMsg_WrongArg = -2,
    EXMsg_MemoryException = -3,
    EXMsg_NotSupport = -4,
    EXMsg_Reduplication = -5,
    EXMsg_WrongCallingSequence = -6,
    EXMsg_Error = -7,
    EXMsg_FileError = -8,
    EXMsg_WrongFileData = -9,
    EXMsg_Exception = -10,
    EXMsg_OCRTimeOut = -100,
};

// The fixed page key and IV: their 16 ASCII bytes are used as they stand.
#define PAGE_AES_KEY "MeltwaterCanopy7"
#define PAGE_AES_IV "GravelOrchidLoop"

enum { AES_MAX_ROUNDS = 14, AES_MAX_BC = 8, AES_MAX_KC = 8 };

// One context per call; zero it before MakeKey.
struct AES {
    int m_bKeyInit;
    int m_Ke[AES_MAX_ROUNDS + 1][AES_MAX_BC]; // encryption round keys
    int m_Kd[AES_MAX_ROUNDS + 1][AES_MAX_BC]; // decryption round keys (equivalent inverse cipher)
    int m_keylength;                          // bytes
    int m_blockSize;                          // bytes
    int m_iROUNDS;
    char m_chain0[32]; // initialisation vector
    char m_chain[32];  // running CBC chain
    int tk[AES_MAX_KC];
    int a[AES_MAX_BC];
    int t[AES_MAX_BC];
};

// Key and block lengths of 16, 24 or 32 bytes; any other length leaves the key unset.
void MakeKey(AES *ctx, const char *key, const char *chain, int keylength, int blockSize);

// One block in place of `result` (m_blockSize bytes each).
void EncryptBlock(AES *ctx, const BYTE *in, BYTE *result);
void DecryptBlock(AES *ctx, const BYTE *in, BYTE *result);

// buff ^= chain over one block.
void Xor(AES *ctx, BYTE *buff, const BYTE *chain);

// CBC over n bytes; EXMsg_WrongArg when no key is set or n is 0 or not whole blocks.
int Encrypt(AES *ctx, const BYTE *in, BYTE *result, size_t n);
int Decrypt(AES *ctx, const BYTE *in, BYTE *result, size_t n);

// AES-128-CBC with PKCS#7 of len_src bytes. On EXMsg_Ok *strDes is a malloc'd
// buffer of *len_des bytes that the caller frees with free(); otherwise
// *strDes is null and *len_des 0 (when those pointers were given).
int EncryptionAES(const BYTE *strSrc, int len_src, const char *strKey, const char *strIv,
                  BYTE **strDes, int *len_des);
// The inverse: strips and checks the padding (a bad padding is EXMsg_WrongArg).
int DecryptionAES(const BYTE *strSrc, int len_src, const char *strKey, const char *strIv,
                  BYTE **strDes, int *len_des);

// Standard alphabet with "=" padding. Decoding stops at the first character
// outside the alphabet (padding included).
std::string base64_encode(const BYTE *data, size_t len);
std::string base64_decode(const std::string &text);
