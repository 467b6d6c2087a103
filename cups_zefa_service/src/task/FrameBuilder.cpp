#include "task/FrameBuilder.h"

#include <limits>

#include <runtime/Log.h>
#include "protocol/PrintProtocolFrame.h"

namespace czs::detail {

Reply createFrame(const std::vector<uint8_t>& payload, const char* tag, const char* sizeText) {
    if (payload.size() > std::numeric_limits<uint32_t>::max() - PrintProtocolFrame::kOverhead) {
        // The length field cannot express it; a truncated length would
        // desynchronise the host's reader.
        ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{tag, "createFrame"},
                   "payload of %zu bytes does not fit in a frame\n", payload.size());
        return {};
    }
    PrintProtocolFrame frame(PrintProtocolFrame::kTypeJsonMessage);
    frame.resetCrc();
    frame.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    frame.serialize(buffer, size);
    if (size == 0) {
        ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{tag, "createFrame"}, "%s", sizeText);
        std::free(buffer);
        return {};
    }
    if (buffer == nullptr) {
        ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{tag, "createFrame"}, "Print error while memory allocation\n");
        return {};
    }
    return Reply::adopt(buffer, size);
}

}  // namespace czs::detail
