// Turns one delivery of received bytes into at most one frame for the host.
#pragma once

#include "protocol/RawStreamData.h"
#include "protocol/Reply.h"

namespace czs {

class HandlerBase {
public:
    virtual ~HandlerBase() = default;
    // Never throws: whatever goes wrong with one message stays with it.
    virtual Reply handle(const RawStreamData& data) = 0;
};

}  // namespace czs
