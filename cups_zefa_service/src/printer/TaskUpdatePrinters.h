// The task for a "discovery"/"response" message from the host: mirrors the
// printer list it carries into CUPS. It sends nothing back.
#pragma once

#include "printer/UpdatePrintersPerformer.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "task/TaskBase.h"

namespace czs {

class TaskUpdatePrinters : public TaskBase {
public:
    // Copies the message, so the task does not depend on the caller's
    // buffers; the performer is borrowed from the handler.
    TaskUpdatePrinters(UpdatePrintersPerformer& performer, const PrintProtocolJsonMsg& message);

    // The JSON library's type errors propagate to the handler.
    Reply execute() override;

private:
    static constexpr const char* kLogTag = "TaskUpdatePrinters";

    UpdatePrintersPerformer* m_performer;
    PrintProtocolJsonMsg m_message;
};

}  // namespace czs
