// Turns one received buffer (exactly one whole frame) into a protocol
// message. Stateless: no buffering, reassembly or resynchronisation.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamData.h"

namespace czs {

enum ConversionStatus : int32_t {
    kConversionMessage = 0,    // a message was decoded
    kConversionNoMessage = 1,  // a valid frame whose type is not 4
    kConversionError = 2,      // the frame or the message failed validation
};

struct ConversionResult {
    int32_t status = kConversionError;
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
