#include "task/TaskSendChunk.h"

#include "common/Log.h"
#include "task/FrameBuilder.h"

namespace czs {
namespace {
constexpr const char* kLogTag = "TaskSendChunk";
}

TaskSendChunk::TaskSendChunk(ChunkPerformer& performer, const PrintProtocolJsonMsg& request)
    : performer_(performer), request_(request) {}

Reply TaskSendChunk::execute() {
    CZS_LOG_INFO("execute", "executing task\n");
    performer_.setRequest(request_.jsonValue());
    const std::vector<uint8_t>& payload = performer_.createResponse();
    if (payload.empty()) return {};
    return createFrame(payload);
}

Reply TaskSendChunk::createFrame(const std::vector<uint8_t>& payload) {
    return detail::createFrame(payload, kLogTag, "FrameSize <= 0\n");
}

}  // namespace czs
