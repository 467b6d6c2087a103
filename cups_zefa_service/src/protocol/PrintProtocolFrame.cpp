#include "protocol/PrintProtocolFrame.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace czs {
namespace {

// Built during static initialisation, read-only afterwards.
const std::map<int32_t, const char*> kErrorTexts = {
    {kFrameNoError, "No error"},
    {kFrameInvalidSof, "SOF value is invalid"},
    {kFrameInvalidType, "type value is invalid"},
    {kFrameTooSmall, "frame size is too small"},
    {kFrameInvalidPayloadLen, "payload len is invalid"},
    {kFrameInvalidCrc, "crc value is invalid"},
    {kFrameMissingEof, "end of frame is missed"},
    {kFrameUnknown, "unknown error"},
};

uint16_t readBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t readBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

const char* PrintProtocolFrame::errorText(int32_t code) noexcept {
    // NoData (empty input) and any code outside the table share the generic
    // text, so what() always has something to say.
    const auto it = kErrorTexts.find(code);
    return it != kErrorTexts.end() ? it->second : kErrorTexts.at(kFrameUnknown);
}

const char* PrintProtocolFrame::PrintProtocolFrameException::what() const noexcept {
    return errorText(code_);
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

void PrintProtocolFrame::fail(int32_t code) {
    error_ = code;
    throw PrintProtocolFrameException(code);
}

PrintProtocolFrame::PrintProtocolFrame(const uint8_t* data, uint64_t size) {
    // The order of the checks is part of the protocol: the first that fails
    // decides the code the peer-facing log reports.
    if (data == nullptr || size == 0) fail(kFrameNoData);
    if (size < 4) fail(kFrameTooSmall);
    if (std::memcmp(data, kSof, sizeof kSof) != 0) fail(kFrameInvalidSof);
    if (size == 4) fail(kFrameTooSmall);
    if (data[size - 1] != kEof) fail(kFrameMissingEof);
    if (size < 7) fail(kFrameTooSmall);
    const uint16_t type = readBe16(data + 4);
    if (type > kMaxType) fail(kFrameInvalidType);
    type_ = type;
    if (size < kOverhead + 2) fail(kFrameTooSmall);
    const uint32_t len = readBe32(data + 6);
    if (uint64_t{len} != size - kOverhead) fail(kFrameInvalidPayloadLen);
    payloadLen_ = len;
    if (data[size - 3] != 0 || data[size - 2] != 0) fail(kFrameInvalidCrc);
    payload_ = data + kHeaderSize;
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
