// Byte layer of the text cipher: AES-256-ECB with PKCS#7 padding.
// Plain C++ (no Qt) so that the simulated printer can link it too.
#pragma once

#include <string>

// The fixed key text shared by the cipher and the job log's password.
constexpr const char kCipherKeyText[] = "zivure";

// The key text is padded with spaces (or cut) to keyLength bytes.
// aesDecrypt throws CryptoPP::Exception (InvalidCiphertext) on bad input.
std::string aesEncrypt(const std::string &plain, const std::string &key, int keyLength);
std::string aesDecrypt(const std::string &cipher, const std::string &key, int keyLength);
