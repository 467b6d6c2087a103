// Announces a print file the CUPS backend spooled: the backend's JSON becomes
// a "sendfile"/"notification" frame for the host.
#pragma once

#include "protocol/RawStreamData.h"
#include "task/NewFilePerformer.h"
#include "task/TaskBase.h"

namespace czs {

class TaskPrintNewFile : public TaskBase {
public:
    // `data` must already be known to be JSON. The performer is borrowed.
    TaskPrintNewFile(NewFilePerformer& performer, const RawStreamData& data);
    // Empty reply when the announcement is refused; JSON type errors propagate.
    Reply execute() override;

private:
    Reply createFrame(const std::vector<uint8_t>& payload);

    RawStreamData data_;
    NewFilePerformer& performer_;
};

}  // namespace czs
