// Answers one "sendfile"/"request" of the host with the asked piece of a
// print file, or with nothing when no piece can be produced.
#pragma once

#include "protocol/PrintProtocolJsonMsg.h"
#include "task/ChunkPerformer.h"
#include "task/TaskBase.h"

namespace czs {

class TaskSendChunk : public TaskBase {
public:
    // The performer is borrowed; the request is copied.
    TaskSendChunk(ChunkPerformer& performer, const PrintProtocolJsonMsg& request);
    // JSON type errors in the request propagate.
    Reply execute() override;

private:
    ChunkPerformer& performer_;
    PrintProtocolJsonMsg request_;
};

}  // namespace czs
