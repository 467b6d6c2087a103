// The fixed parts of a host-channel frame, written in one place: the 10-byte
// header ("ZEFA", 16-bit type, 32-bit payload length, big-endian) and the
// 3-byte trailer (16-bit check field, 0x0A). The frame codec and the chunk
// producer both write their images through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace czs::frame_layout {

/// The start-of-frame marker every frame begins with.
inline constexpr uint8_t kSof[4] = {'Z', 'E', 'F', 'A'};
/// The byte every frame ends with.
inline constexpr uint8_t kEof = 0x0A;
/// SOF 4 + type 2 + payload length 4.
inline constexpr std::size_t kHeaderSize = 10;
/// Check field 2 + end byte 1.
inline constexpr std::size_t kTrailerSize = 3;

/// Writes the header of a frame of `type` carrying `payloadLen` bytes.
inline void writeHeader(std::span<uint8_t, kHeaderSize> out, uint16_t type, uint32_t payloadLen) noexcept {
    for (std::size_t i = 0; i < sizeof kSof; ++i)
        out[i] = kSof[i];
    out[4] = static_cast<uint8_t>(type >> 8);
    out[5] = static_cast<uint8_t>(type);
    out[6] = static_cast<uint8_t>(payloadLen >> 24);
    out[7] = static_cast<uint8_t>(payloadLen >> 16);
    out[8] = static_cast<uint8_t>(payloadLen >> 8);
    out[9] = static_cast<uint8_t>(payloadLen);
}

/// Writes the trailer with the check field `check` (the protocol sends 0).
inline void writeTrailer(std::span<uint8_t, kTrailerSize> out, uint16_t check = 0) noexcept {
    out[0] = static_cast<uint8_t>(check >> 8);
    out[1] = static_cast<uint8_t>(check);
    out[2] = kEof;
}

}  // namespace czs::frame_layout
