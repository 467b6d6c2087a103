#include "task/TaskSendChunk.h"

#include <runtime/Log.h>

namespace czs {
namespace {
constexpr const char* kLogTag = "TaskSendChunk";
}

TaskSendChunk::TaskSendChunk(ChunkPerformer& performer, const PrintProtocolJsonMsg& request)
    : performer_(performer), request_(request) {}

Reply TaskSendChunk::execute() {
    ORV_LOG(Info, "executing task\n");
    performer_.setRequest(request_.jsonValue());
    // A producer: the transport writes the frame as it drains the reply.
    return performer_.createResponse();
}

}  // namespace czs
