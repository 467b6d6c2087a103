// The host channel's handler: decodes one frame into a protocol message and
// runs the task the message calls for; the task's frame is the reply.
#pragma once

#include <memory>

#include "printer/UpdatePrintersPerformer.h"
#include "protocol/RawStreamDataConverter.h"
#include "service/HandlerBase.h"
#include "task/ChunkPerformer.h"
#include "task/TaskBase.h"

namespace czs {

class SerialPortHandler : public HandlerBase {
public:
    // The registry is borrowed and must outlive the handler; `transport` is
    // the host channel this handler serves.
    SerialPortHandler(PrintFileRegistry& registry, HostTransport transport, bool followHostDefault);
    ~SerialPortHandler() override;
    Reply handle(const RawStreamData& data) override;

    // The task for a message's method and type, or none.
    std::unique_ptr<TaskBase> createTask(const PrintProtocolJsonMsg& message);

private:
    // Declared in this order so that destruction runs update performer,
    // chunk performer, converter.
    std::unique_ptr<RawStreamDataConverter> converter_;
    ChunkPerformer chunkPerformer_;
    UpdatePrintersPerformer updatePerformer_;
};

}  // namespace czs
