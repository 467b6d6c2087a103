// The daemon's one base64 codec: standard alphabet with "=" padding and no
// line breaks for encoding; a lenient decoder for received payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace czs::base64 {

// Number of characters that encoding n bytes yields.
constexpr size_t encodedSize(size_t n) {
    return (n + 2) / 3 * 4;
}

/// Writes encodedSize(in.size()) characters to the front of `out`, which
/// must have room for them.
void encode(std::span<const uint8_t> in, std::span<char> out);
inline void encode(std::span<const uint8_t> in, std::span<uint8_t> out) {
    encode(in, std::span(reinterpret_cast<char*>(out.data()), out.size()));
}
std::string encode(std::span<const uint8_t> in);

// Encodes a byte stream handed over in pieces, as if it were one buffer.
// The caller provides room for encodedSize(total) characters.
class StreamEncoder {
public:
    /// `out` must hold encodedSize(total) characters and outlive the encoder.
    explicit StreamEncoder(std::span<char> out) : out_(out.data()), room_(out.size()) {}
    void update(std::span<const uint8_t> in);
    // Flushes the last partial group with padding; returns the characters written.
    size_t finish();

private:
    char* out_;
    size_t room_;
    size_t written_ = 0;
    uint8_t carry_[2] = {0, 0};
    size_t carryLen_ = 0;
};

// Decodes base64 text. Fails (returns false, out untouched) only when the
// length is not a multiple of 4. Characters are not validated: "=" anywhere
// counts as 0 bits and any other character outside the alphabet (including
// bytes of 0x80 and above) as the value 64, so damaged input yields garbage
// bytes rather than an error; the caller's JSON parse rejects those.
bool decode(std::string_view text, std::vector<uint8_t>& out);
inline bool decode(std::span<const uint8_t> text, std::vector<uint8_t>& out) {
    return decode(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), out);
}

}  // namespace czs::base64
