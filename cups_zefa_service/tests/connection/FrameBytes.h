// Hand-built frame images for the transport tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace czs::test {

// "ZEFA", type 4, big-endian length, payload, check 00 00, 0x0A.
inline std::vector<uint8_t> frame(const std::string& payload, uint16_t type = 4) {
    std::vector<uint8_t> f = {'Z', 'E', 'F', 'A', static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    uint32_t n = static_cast<uint32_t>(payload.size());
    f.push_back(static_cast<uint8_t>(n >> 24));
    f.push_back(static_cast<uint8_t>(n >> 16));
    f.push_back(static_cast<uint8_t>(n >> 8));
    f.push_back(static_cast<uint8_t>(n));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0);
    f.push_back(0);
    f.push_back(0x0A);
    return f;
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

}  // namespace czs::test
