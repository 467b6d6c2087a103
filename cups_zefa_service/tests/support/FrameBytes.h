// Hand-built frame images for the tests, written from the wire format alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace czs::test {

// "ZEFA", the type (4 unless given), big-endian length, payload, check 00 00,
// 0x0A. Sized once and filled in place: grown piecewise, GCC 12 at -O2
// reports a bounds error that cannot happen.
inline std::vector<uint8_t> frame(const std::string& payload, uint16_t type = 4) {
    const auto n = static_cast<uint32_t>(payload.size());
    const uint8_t header[] = {'Z',
                              'E',
                              'F',
                              'A',
                              static_cast<uint8_t>(type >> 8),
                              static_cast<uint8_t>(type),
                              static_cast<uint8_t>(n >> 24),
                              static_cast<uint8_t>(n >> 16),
                              static_cast<uint8_t>(n >> 8),
                              static_cast<uint8_t>(n)};
    const uint8_t trailer[] = {0x00, 0x00, 0x0A};
    std::vector<uint8_t> f(sizeof header + payload.size() + sizeof trailer);
    std::copy(std::begin(header), std::end(header), f.begin());
    std::copy(payload.begin(), payload.end(), f.begin() + sizeof header);
    std::copy(std::begin(trailer), std::end(trailer), f.end() - sizeof trailer);
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
