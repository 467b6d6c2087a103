// The host side's own reading and writing of the print channel: frames and
// the base64 of their messages, written from the wire format alone and with
// OpenSSL's base64, sharing no code with the daemon's codec, so that a fault
// in the daemon's codec cannot cancel out against the same fault here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace hostsim::wire {

constexpr std::size_t kHeader = 10;  // "ZEFA", type (2), payload length (4)
constexpr std::size_t kTrailer = 3;  // check field (2, zero), 0x0A
constexpr uint16_t kTypeMessage = 4;

// A frame around `payload`: big-endian type and length, check field 0, 0x0A.
std::vector<uint8_t> frame(const std::string& payload, uint16_t type = kTypeMessage);

// Standard base64 with "=" padding, no line breaks.
std::string base64Encode(std::span<const uint8_t> bytes);
inline std::string base64Encode(std::string_view text) {
    return base64Encode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
// Strict: a length that is not a multiple of 4, a character outside the
// alphabet or misplaced padding is a failure.
std::optional<std::vector<uint8_t>> base64Decode(std::span<const uint8_t> text);
inline std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    return base64Decode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// One received message: the frame's type and, for a type-4 frame, the JSON
// its payload carries.
struct Message {
    uint16_t type = 0;
    nlohmann::json json;  // null unless type 4
    std::string method() const;
    std::string kind() const;  // the message's "type" member
};
// Decodes a whole frame (as the splitter hands it out); the reason on failure.
std::optional<Message> decode(std::span<const uint8_t> frame, std::string& why);

// Cuts the byte stream from the daemon into frames by their length field.
// Bytes that cannot start a frame are dropped up to the next "ZEFA", and
// reported.
class FrameSplitter {
public:
    using DropReport = std::function<void(std::size_t bytes, const char* why)>;
    FrameSplitter(std::size_t maxPayload, DropReport onDrop);

    void append(std::span<const uint8_t> bytes);
    // The next complete frame, moved into `out`; false when none is complete.
    bool next(std::vector<uint8_t>& out);
    void clear() {
        buffer_.clear();
        at_ = 0;
    }
    // The bytes not yet cut into frames (valid until the next call), and
    // taking n of them away without cutting a frame.
    std::span<const uint8_t> unread() const { return std::span(buffer_).subspan(at_); }
    void advance(std::size_t n) { at_ += n; }

private:
    void drop(std::size_t n, const char* why);

    std::size_t maxPayload_;
    DropReport onDrop_;
    std::vector<uint8_t> buffer_;
    std::size_t at_ = 0;  // start of the unread bytes
};

}  // namespace hostsim::wire
