// The daemon's one base64 codec: standard alphabet with "=" padding and no
// line breaks for encoding; a lenient decoder for received payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace czs::base64 {

// Number of characters that encoding n bytes yields.
constexpr size_t encodedSize(size_t n) {
    return (n + 2) / 3 * 4;
}

// Writes encodedSize(n) characters to out.
void encode(const uint8_t* in, size_t n, char* out);
std::string encode(const uint8_t* in, size_t n);
inline std::string encode(const std::vector<uint8_t>& in) {
    return encode(in.data(), in.size());
}

// Encodes a byte stream handed over in pieces, as if it were one buffer.
// The caller provides room for encodedSize(total) characters.
class StreamEncoder {
public:
    explicit StreamEncoder(char* out) : out_(out) {}
    void update(const uint8_t* in, size_t n);
    // Flushes the last partial group with padding; returns the characters written.
    size_t finish();

private:
    char* out_;
    size_t written_ = 0;
    uint8_t carry_[2] = {0, 0};
    size_t carryLen_ = 0;
};

// Decodes base64 text. Fails (returns false, out untouched) only when the
// length is not a multiple of 4. Characters are not validated: "=" anywhere
// counts as 0 bits and any other character outside the alphabet (including
// bytes of 0x80 and above) as the value 64, so damaged input yields garbage
// bytes rather than an error; the caller's JSON parse rejects those.
bool decode(const char* in, size_t n, std::vector<uint8_t>& out);
inline bool decode(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
    return decode(reinterpret_cast<const char*>(in), n, out);
}

}  // namespace czs::base64
