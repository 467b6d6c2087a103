#include "service/SerialPortHandler.h"

#include <exception>

#include <runtime/Log.h>
#include "printer/TaskUpdatePrinters.h"
#include "task/TaskSendChunk.h"
#include "task/TaskSendNotification.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "SerialPortHandler";
}

SerialPortHandler::SerialPortHandler(PrintFileRegistry& registry, HostTransport transport, const DaemonConfig& config)
    : converter_(makeRawStreamDataConverter()),
      chunkPerformer_(registry),
      updatePerformer_(transport, registry, config.followHostDefault, config.printFormat) {}

SerialPortHandler::~SerialPortHandler() = default;

std::unique_ptr<TaskBase> SerialPortHandler::createTask(const PrintProtocolJsonMsg& message) {
    const int32_t method = message.getMethod();
    const int32_t type = message.getType();
    if (method == kMethodDiscovery && type == kMsgTypeResponse) {
        return std::make_unique<TaskUpdatePrinters>(updatePerformer_, message);
    }
    if (method == kMethodDiscovery && type == kMsgTypeNotification) {
        return std::make_unique<TaskSendNotification>();
    }
    if ((method == kMethodDiscovery || method == kMethodSendFile) && type == kMsgTypeRequest) {
        return std::make_unique<TaskSendChunk>(chunkPerformer_, message);
    }
    return nullptr;
}

Reply SerialPortHandler::handle(const RawStreamData& data) {
    // A host message with the wrong JSON types makes the performers throw;
    // that must cost this one message, not the daemon or the transport thread.
    try {
        ConversionResult result = converter_->convertToProtocolJsonMsg(data);
        if (result.status != ConversionStatus::Message) {
            ORV_LOG(Error, "RawStreamDataConverter error res=%d\n", static_cast<int>(result.status));
            return {};
        }
        std::unique_ptr<TaskBase> task = createTask(result.message);
        if (!task) {
            ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{nullptr, __func__},
                       "[SerialPortHandler]:[%s] HandlerSerialPort: cannot create task\n", "handle");
            return {};
        }
        return task->execute();
    } catch (const std::exception& e) {
        ORV_LOG(Error, "message dropped, exception: %s\n", e.what());
    } catch (...) {
        ORV_LOG(Error, "message dropped, unknown exception\n");
    }
    return {};
}

}  // namespace czs
