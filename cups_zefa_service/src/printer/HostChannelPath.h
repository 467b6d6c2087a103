// The device path of the host channel that every mirrored queue's device URI
// names, so the backend's jobs reach the transport the service chose.
#pragma once

#include <string>

#include <shm_channel/orvanta_channels.h>

#include "common/HostTransport.h"

namespace czs {

inline constexpr const char* kShmChannelPath = ORV_PRINT_CHANNEL_SHM_PATH;
inline constexpr const char* kVirtioChannelPath = ORV_PRINT_SERIAL_PORT_PATH;

inline std::string hostChannelPath(HostTransport transport) {
    return transport == HostTransport::SharedMemory ? kShmChannelPath : kVirtioChannelPath;
}

}  // namespace czs
