// One binary frame of the host channel: "ZEFA", 16-bit type, 32-bit payload
// length, payload, 16-bit check field (always 0), 0x0A; integers big-endian.
// Builds a frame image around a payload, or validates a received buffer and
// exposes its type and payload in place.
#pragma once

#include <cstdint>
#include <exception>

#include "protocol/FrameLayout.h"

namespace czs {

enum PrintProtocolFrameError : int32_t {
    kFrameNoError = 0,
    kFrameNoData = 1,
    kFrameInvalidSof = 2,
    kFrameInvalidType = 3,
    kFrameTooSmall = 4,
    kFrameInvalidPayloadLen = 5,
    kFrameInvalidCrc = 6,
    kFrameMissingEof = 7,
    kFrameUnknown = 8,
};

// One object describes one frame and is used by one thread at a time; it owns
// nothing: a decoded frame points into the caller's buffer, a built frame's
// image belongs to whoever serialize() hands it to.
class PrintProtocolFrame {
public:
    static constexpr const uint8_t (&kSof)[4] = frame_layout::kSof;
    static constexpr uint8_t kEof = frame_layout::kEof;
    static constexpr uint64_t kHeaderSize = frame_layout::kHeaderSize;
    static constexpr uint64_t kTrailerSize = frame_layout::kTrailerSize;
    static constexpr uint64_t kOverhead = kHeaderSize + kTrailerSize;
    static constexpr int32_t kTypeJsonMessage = 4;
    static constexpr int32_t kMaxType = 4;

    /// What the first kHeaderSize bytes of a frame announce.
    struct Header {
        uint16_t type = 0;
        uint32_t payloadLen = 0;
        /// The whole frame's size: payload plus kOverhead.
        uint64_t frameSize() const { return uint64_t{payloadLen} + kOverhead; }
    };

    /// Reads the header at `data` (at least kHeaderSize bytes, caller's
    /// memory, not kept). Only the start marker is checked here; the type and
    /// length are returned as they are for the caller to judge. False when
    /// the bytes do not begin with "ZEFA".
    static bool parseHeader(const uint8_t* data, Header& out) noexcept;
    /// Whether the first min(n, 4) bytes at `data` match the start marker,
    /// i.e. whether a frame may begin there.
    static bool mayStartFrame(const uint8_t* data, uint64_t n) noexcept;

    class PrintProtocolFrameException : public std::exception {
    public:
        explicit PrintProtocolFrameException(int32_t code) noexcept : code_(code) {}
        const char* what() const noexcept override;
        int32_t code() const noexcept { return code_; }

    private:
        int32_t code_;
    };

    // The text reported for a decode error code; never null.
    static const char* errorText(int32_t code) noexcept;

    PrintProtocolFrame() = default;
    // For building a frame of the given type.
    explicit PrintProtocolFrame(int32_t type) : type_(type) {}
    // Decodes and validates `size` bytes at `data`; throws
    // PrintProtocolFrameException on the first failed check. The payload is
    // referenced in place, so `data` must outlive its use.
    PrintProtocolFrame(const uint8_t* data, uint64_t size);

    /// The type the built frame will carry.
    void setType(int32_t type) { type_ = type; }
    // Refers to the caller's bytes; nothing is copied until serialize.
    void setPayload(const uint8_t* payload, uint32_t length) {
        payload_ = payload;
        payloadLen_ = length;
    }
    /// The check field is reserved and always written as 0.
    void resetCrc() { crc_ = 0; }

    // Builds the frame image in a new malloc'd buffer (one allocation, one
    // copy of the payload). The receiver owns it and frees it with free().
    // On allocation failure both outputs are null/0.
    void serialize(uint8_t*& buffer, uint64_t& size);

    /// -1 until set or decoded.
    int32_t getType() const { return type_; }
    uint32_t getPayloadLen() const { return payloadLen_; }
    /// Borrowed: valid as long as the buffer it was decoded from or set with.
    const uint8_t* getPayload() const { return payload_; }
    uint16_t getCrc() const { return crc_; }
    /// The code of the failed decode check, 0 for a valid frame.
    int32_t getError() const { return error_; }

private:
    [[noreturn]] void fail(int32_t code);

    int32_t type_ = -1;
    uint32_t payloadLen_ = 0;
    const uint8_t* payload_ = nullptr;
    uint16_t crc_ = 0;
    int32_t error_ = kFrameNoError;
};

}  // namespace czs
