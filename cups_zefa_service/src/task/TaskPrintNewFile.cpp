#include "task/TaskPrintNewFile.h"

#include <runtime/Log.h>
#include "task/FrameBuilder.h"

namespace czs {
namespace {
constexpr const char* kLogTag = "TaskPrintNewFile";
}

TaskPrintNewFile::TaskPrintNewFile(NewFilePerformer& performer, const RawStreamData& data)
    : data_(data), performer_(performer) {}

Reply TaskPrintNewFile::execute() {
    ORV_LOG(Info, "executing task\n");
    performer_.setData(data_);
    const std::vector<uint8_t> payload = performer_.createMessage();
    if (payload.empty()) return {};
    return createFrame(payload);
}

Reply TaskPrintNewFile::createFrame(const std::vector<uint8_t>& payload) {
    return detail::createFrame(payload, kLogTag, "FrameSize <= 0\n");
}

}  // namespace czs
