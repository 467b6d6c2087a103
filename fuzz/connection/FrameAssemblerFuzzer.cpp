// Fuzzes the host-channel frame reassembly: arbitrary bytes in arbitrary
// cuts. Every delivered frame must be whole by its own length field, start
// with "ZEFA", end with 0x0A and stay within the bound; nothing may be lost
// or invented: delivered + dropped + still buffered = everything fed in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "connection/FrameAssembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr std::size_t kMax = 4096;
    std::size_t dropped = 0;
    czs::FrameAssembler a(kMax, [&](std::size_t n, const char*) { dropped += n; });
    std::size_t delivered = 0;
    std::size_t at = 0;
    // The first byte of each step picks the length of the next piece.
    while (at < size) {
        std::size_t piece = 1 + data[at] % 97;
        ++at;
        piece = piece < size - at ? piece : size - at;
        a.append(std::span(data + at, piece));
        at += piece;
        czs::RawStreamData f;
        while (a.next(f)) {
            if (f.size() < 13 || f.size() > kMax || std::memcmp(f.data(), "ZEFA", 4) != 0 || f.back() != 0x0A) {
                std::abort();
            }
            const uint64_t len = (uint64_t{f[6]} << 24) | (uint64_t{f[7]} << 16) | (uint64_t{f[8]} << 8) | f[9];
            if (len + 13 != f.size()) {
                std::abort();
            }
            delivered += f.size();
        }
        if (a.buffered() > kMax + 97) {
            std::abort();
        }
    }
    // Pieces consumed the selector bytes too; count only the payload fed in.
    std::size_t fed = 0;
    for (std::size_t i = 0; i < size;) {
        std::size_t piece = 1 + data[i] % 97;
        ++i;
        piece = piece < size - i ? piece : size - i;
        fed += piece;
        i += piece;
    }
    if (delivered + dropped + a.buffered() != fed) {
        std::abort();
    }
    return 0;
}
