// What the entry point drives: the print channel service with its two opens,
// called once each, in this order. 0 means the transport is open.
#pragma once

#include <cstdint>

namespace czs {

class PrintChannelService {
public:
    virtual ~PrintChannelService() = default;
    /// Main thread, before the loop runs: starts opening the host channel;
    /// while none is there the waiting goes on from the event loop.
    virtual int32_t openHostChannel() = 0;
    /// Main thread, before the loop runs: opens the local TCP listener for
    /// the CUPS backend.
    virtual int32_t openBackendSocket() = 0;
};

}  // namespace czs
