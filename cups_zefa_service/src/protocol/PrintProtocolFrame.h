// One binary frame of the host channel: "ZEFA", 16-bit type, 32-bit payload
// length, payload, 16-bit check field (always 0), 0x0A; integers big-endian.
// Builds a frame image around a payload, or validates a received buffer and
// exposes its type and payload in place.
#pragma once

#include <cstdint>
#include <exception>

#include "protocol/FrameLayout.h"

namespace czs {

/// Why a received buffer is not a valid frame: the outcome of each decode
/// check. The numbers are what the exception's code() and getError() report,
/// and peers' logs quote them, so they are fixed.
enum class PrintProtocolFrameError : int32_t {
    NoError = 0,
    NoData = 1,  // null or empty input
    InvalidSof = 2,
    InvalidType = 3,
    FrameTooSmall = 4,
    InvalidPayloadLen = 5,
    InvalidCrc = 6,
    MissingEof = 7,
    Unknown = 8,  // has a text, but no check produces it
};
static_assert(sizeof(PrintProtocolFrameError) == sizeof(int32_t));
static_assert(static_cast<int32_t>(PrintProtocolFrameError::NoError) == 0);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::NoData) == 1);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::InvalidSof) == 2);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::InvalidType) == 3);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::FrameTooSmall) == 4);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::InvalidPayloadLen) == 5);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::InvalidCrc) == 6);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::MissingEof) == 7);
static_assert(static_cast<int32_t>(PrintProtocolFrameError::Unknown) == 8);

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

    /// What a failed decode throws: the code of the first failed check;
    /// what() is that code's text.
    class PrintProtocolFrameException : public std::exception {
    public:
        explicit PrintProtocolFrameException(PrintProtocolFrameError error) noexcept : error_(error) {}
        const char* what() const noexcept override;
        /// The code as the protocol numbers it.
        int32_t code() const noexcept { return static_cast<int32_t>(error_); }
        PrintProtocolFrameError error() const noexcept { return error_; }

    private:
        PrintProtocolFrameError error_;
    };

    /// The text reported for a decode error; never null. NoData has no text
    /// of its own and reports Unknown's, so what() always says something.
    static const char* errorText(PrintProtocolFrameError error) noexcept;

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
    int32_t getError() const { return static_cast<int32_t>(error_); }

private:
    // Runs the decode checks in their fixed order and fills the fields the
    // passed checks establish; the first failed check's code, or NoError.
    PrintProtocolFrameError decode(const uint8_t* data, uint64_t size) noexcept;

    int32_t type_ = -1;
    uint32_t payloadLen_ = 0;
    const uint8_t* payload_ = nullptr;
    uint16_t crc_ = 0;
    PrintProtocolFrameError error_ = PrintProtocolFrameError::NoError;
};

}  // namespace czs
