// SHA-256 (FIPS 180-4), enough to fingerprint received print files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace hostsim {

class Sha256 {
public:
    Sha256();
    void update(const uint8_t* data, std::size_t len);
    std::array<uint8_t, 32> finish();
    std::string hex();  // finishes and formats in lower-case hexadecimal

private:
    void block(const uint8_t* p);
    std::array<uint32_t, 8> h_;
    std::array<uint8_t, 64> buf_{};
    std::size_t used_ = 0;
    uint64_t total_ = 0;
};

}  // namespace hostsim
