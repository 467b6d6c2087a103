// SHA-256 of a received print file, computed as its pieces arrive (OpenSSL's
// digest), so the host side can name what it got without keeping it.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace hostsim {

class Sha256 {
public:
    Sha256();
    void update(std::span<const uint8_t> bytes);
    /// Finishes the digest and formats it in lower-case hexadecimal; call once.
    std::string hex();

private:
    struct CtxFree {
        void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx_;
};

}  // namespace hostsim
