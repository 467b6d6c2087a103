#include "Sha256.h"

#include <cstdio>
#include <stdexcept>

namespace hostsim {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("host-sim: SHA-256 digest unavailable");
    }
}

void Sha256::update(std::span<const uint8_t> bytes) {
    EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size());
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_.get(), digest, &n);
    std::string out;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}

}  // namespace hostsim
