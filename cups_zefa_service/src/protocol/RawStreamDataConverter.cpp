#include "protocol/RawStreamDataConverter.h"

#include <runtime/Log.h>
#include "protocol/PrintProtocolFrame.h"

namespace czs {
namespace {
constexpr const char* kLogTag = "RawStreamDataConverterImpl";
}

ConversionResult RawStreamDataConverterImpl::convertToProtocolJsonMsg(const RawStreamData& data) {
    ConversionResult result;
    // The frame is decoded in place: the input is const and outlives this
    // call, so a private copy of it would buy nothing.
    try {
        const PrintProtocolFrame frame(data.data(), data.size());
        if (frame.getType() != PrintProtocolFrame::kTypeJsonMessage) {
            result.status = ConversionStatus::NoMessage;
            return result;
        }
        result.message = PrintProtocolJsonMsg(frame.getPayload(), frame.getPayloadLen());
        result.status = ConversionStatus::Message;
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        ORV_LOG(Error, "got exception: %s\n", e.what());
        result = ConversionResult{};
    } catch (const PrintProtocolJsonMsg::PrintProtocolJsonMsgException& e) {
        ORV_LOG(Error, "got exception: %s\n", e.what());
        result = ConversionResult{};
    }
    return result;
}

std::unique_ptr<RawStreamDataConverter> makeRawStreamDataConverter() {
    return std::make_unique<RawStreamDataConverterImpl>();
}

}  // namespace czs
