// The deterministic content of benchmark print files: byte i depends only on
// i, so a sampled chunk can be checked without holding the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostsim {

inline uint8_t patternByte(uint64_t i) {
    return static_cast<uint8_t>((i >> 9) ^ (i * 7u) ^ (i >> 17));
}

inline void fillPattern(uint8_t* out, uint64_t offset, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = patternByte(offset + k);
    }
}

}  // namespace hostsim
