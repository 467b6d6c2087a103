#include "protocol/PrintProtocolFrame.h"

#include <cstdlib>
#include <cstring>

namespace czs {
namespace {

uint16_t readBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t readBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

const char* PrintProtocolFrame::errorText(PrintProtocolFrameError error) noexcept {
    using E = PrintProtocolFrameError;
    switch (error) {
        case E::NoError:
            return "No error";
        case E::InvalidSof:
            return "SOF value is invalid";
        case E::InvalidType:
            return "type value is invalid";
        case E::FrameTooSmall:
            return "frame size is too small";
        case E::InvalidPayloadLen:
            return "payload len is invalid";
        case E::InvalidCrc:
            return "crc value is invalid";
        case E::MissingEof:
            return "end of frame is missed";
        case E::NoData:
        case E::Unknown:
            break;
    }
    // Empty input and any value outside the enumeration share the generic
    // text.
    return "unknown error";
}

const char* PrintProtocolFrame::PrintProtocolFrameException::what() const noexcept {
    return errorText(error_);
}

bool PrintProtocolFrame::parseHeader(const uint8_t* data, Header& out) noexcept {
    if (std::memcmp(data, kSof, sizeof kSof) != 0) return false;
    out.type = readBe16(data + 4);
    out.payloadLen = readBe32(data + 6);
    return true;
}

bool PrintProtocolFrame::mayStartFrame(const uint8_t* data, uint64_t n) noexcept {
    return std::memcmp(data, kSof, n < sizeof kSof ? static_cast<std::size_t>(n) : sizeof kSof) == 0;
}

PrintProtocolFrameError PrintProtocolFrame::decode(const uint8_t* data, uint64_t size) noexcept {
    using E = PrintProtocolFrameError;
    // The order of the checks is part of the protocol: the first that fails
    // decides the code the peer-facing log reports.
    if (data == nullptr || size == 0) return E::NoData;
    if (size < 4) return E::FrameTooSmall;
    if (std::memcmp(data, kSof, sizeof kSof) != 0) return E::InvalidSof;
    if (size == 4) return E::FrameTooSmall;
    if (data[size - 1] != kEof) return E::MissingEof;
    if (size < 7) return E::FrameTooSmall;
    const uint16_t type = readBe16(data + 4);
    if (type > kMaxType) return E::InvalidType;
    type_ = type;
    if (size < kOverhead + 2) return E::FrameTooSmall;
    const uint32_t len = readBe32(data + 6);
    if (uint64_t{len} != size - kOverhead) return E::InvalidPayloadLen;
    payloadLen_ = len;
    if (data[size - 3] != 0 || data[size - 2] != 0) return E::InvalidCrc;
    payload_ = data + kHeaderSize;
    return E::NoError;
}

PrintProtocolFrame::PrintProtocolFrame(const uint8_t* data, uint64_t size) {
    // The one place a decode failure becomes the exception callers catch.
    error_ = decode(data, size);
    if (error_ != PrintProtocolFrameError::NoError) {
        throw PrintProtocolFrameException(error_);
    }
}

void PrintProtocolFrame::serialize(uint8_t*& buffer, uint64_t& size) {
    const uint64_t total = uint64_t{payloadLen_} + kOverhead;
    auto* p = static_cast<uint8_t*>(std::malloc(total));
    if (p == nullptr) {
        buffer = nullptr;
        size = 0;
        return;
    }
    frame_layout::writeHeader(std::span<uint8_t, kHeaderSize>(p, kHeaderSize), static_cast<uint16_t>(type_),
                              payloadLen_);
    if (payload_ != nullptr && payloadLen_ != 0) {
        std::memcpy(p + kHeaderSize, payload_, payloadLen_);
    } else if (payloadLen_ != 0) {
        // A length without bytes must not put uninitialised heap on the wire.
        std::memset(p + kHeaderSize, 0, payloadLen_);
    }
    frame_layout::writeTrailer(std::span<uint8_t, kTrailerSize>(p + total - kTrailerSize, kTrailerSize), crc_);
    buffer = p;
    size = total;
}

}  // namespace czs
