// What the entry point drives: the print channel service with its two opens,
// called once each, in this order. 0 means the transport is open.
#pragma once

#include <cstdint>

namespace czs {

class PrintChannelService {
public:
    virtual ~PrintChannelService() = default;
    // Returns only once a host transport is open (it retries internally).
    virtual int32_t openHostChannel() = 0;
    // Opens the local TCP listener for the CUPS backend.
    virtual int32_t openBackendSocket() = 0;
};

}  // namespace czs
