#include "evidence/hash.h"

#include <array>
#include <cstdio>
#include <new>

namespace randdump {

Sha256::Sha256() : context_(EVP_MD_CTX_new())
{
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

void Sha256::Update(std::span<const std::byte> bytes)
{
    EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
}

std::string Sha256::HexDigest()
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", digest.at(i));
        hex += pair.data();
    }
    return hex;
}

}  // namespace randdump
