// Turns one received buffer (exactly one whole frame) into a protocol
// message. Stateless: no buffering, reassembly or resynchronisation.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamData.h"

namespace czs {

/// What one conversion gave. The numbers are the status the host handler
/// logs ("res=%d"), so they are fixed.
enum class ConversionStatus : int32_t {
    Message = 0,    // a message was decoded
    NoMessage = 1,  // a valid frame whose type is not 4
    Error = 2,      // the frame or the message failed validation
};
static_assert(sizeof(ConversionStatus) == sizeof(int32_t));
static_assert(static_cast<int32_t>(ConversionStatus::Message) == 0);
static_assert(static_cast<int32_t>(ConversionStatus::NoMessage) == 1);
static_assert(static_cast<int32_t>(ConversionStatus::Error) == 2);

struct ConversionResult {
    /// A signed 32-bit status: 0 message, 1 frame without message, 2 error.
    ConversionStatus status = ConversionStatus::Error;
    // The parsed message for status 0 (possibly with errorCode 9); a fresh,
    // empty message otherwise.
    PrintProtocolJsonMsg message;
};

// Called on the host channel's reading thread; keeps no state between calls.
class RawStreamDataConverter {
public:
    virtual ~RawStreamDataConverter() = default;
    virtual ConversionResult convertToProtocolJsonMsg(const RawStreamData& data) = 0;
};

class RawStreamDataConverterImpl final : public RawStreamDataConverter {
public:
    // Validation failures are logged and reported as status 2; nothing thrown.
    ConversionResult convertToProtocolJsonMsg(const RawStreamData& data) override;
};

std::unique_ptr<RawStreamDataConverter> makeRawStreamDataConverter();

}  // namespace czs
