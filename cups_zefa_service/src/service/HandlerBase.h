// Turns one delivery of received bytes into at most one frame for the host.
#pragma once

#include "protocol/RawStreamData.h"
#include "protocol/Reply.h"

namespace czs {

class HandlerBase {
public:
    /// Destroyed by the service that owns it, after the connection feeding it.
    virtual ~HandlerBase() = default;
    // Never throws: whatever goes wrong with one message stays with it. Runs
    // on the thread that delivered `data` (borrowed for the call); the reply
    // is the caller's to write.
    virtual Reply handle(const RawStreamData& data) = 0;
};

}  // namespace czs
