#include "textcipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

namespace {

// Space-filled key block with the key text copied over its start.
std::string keyBlock(const std::string &key, int keyLength)
{
    std::string block(static_cast<size_t>(keyLength > 0 ? keyLength : 0), ' ');
    block.replace(0, std::min(block.size(), key.size()), key, 0, std::min(block.size(), key.size()));
    return block;
}

std::string drain(CryptoPP::StreamTransformationFilter &filter)
{
    std::string out;
    CryptoPP::byte piece[1024];
    for (;;) {
        const size_t n = filter.Get(piece, sizeof piece);
        if (n == 0)
            break;
        out.append(reinterpret_cast<const char *>(piece), n);
    }
    return out;
}

template <typename Mode>
std::string transform(const std::string &input, const std::string &key, int keyLength)
{
    const std::string block = keyBlock(key, keyLength);
    Mode mode;
    mode.SetKey(reinterpret_cast<const CryptoPP::byte *>(block.data()), block.size());
    CryptoPP::StreamTransformationFilter filter(mode, nullptr,
                                                CryptoPP::StreamTransformationFilter::DEFAULT_PADDING);
    filter.Put(reinterpret_cast<const CryptoPP::byte *>(input.data()), input.size());
    filter.MessageEnd();
    return drain(filter);
}

} // namespace

std::string aesEncrypt(const std::string &plain, const std::string &key, int keyLength)
{
    return transform<CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption>(plain, key, keyLength);
}

std::string aesDecrypt(const std::string &cipher, const std::string &key, int keyLength)
{
    return transform<CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption>(cipher, key, keyLength);
}
