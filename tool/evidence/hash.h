// SHA-256 of the sample, by OpenSSL's libcrypto.
#ifndef TOOL_EVIDENCE_HASH_H
#define TOOL_EVIDENCE_HASH_H

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace randdump {

class Sha256 {
public:
    Sha256();  // throws std::bad_alloc

    void Update(std::span<const std::byte> bytes);
    // The digest of everything given, in lower-case hex; the hash is done with then.
    std::string HexDigest();

private:
    struct Free {
        void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context_;
};

}  // namespace randdump

#endif
