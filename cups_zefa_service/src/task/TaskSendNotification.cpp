#include "task/TaskSendNotification.h"

#include <runtime/Log.h>
#include "protocol/PrintProtocolJsonMsg.h"
#include "task/FrameBuilder.h"

namespace czs {
namespace {
constexpr const char* kLogTag = "TaskSendNotification";
}

Reply TaskSendNotification::execute() {
    ORV_LOG(Info, "executing task\n");
    return createFrame();
}

Reply TaskSendNotification::createFrame() {
    const PrintProtocolJsonMsg msg(kMethodDiscovery, kMsgTypeRequest);
    // The discovery request's log line spells it with a lower-case f.
    return detail::createFrame(msg.serialize(), kLogTag, "frameSize <= 0\n");
}

}  // namespace czs
