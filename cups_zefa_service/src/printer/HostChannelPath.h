// The device path of the host channel that every mirrored queue's device URI
// names, so the backend's jobs reach the transport the service chose.
#pragma once

#include <string>

#include "common/HostTransport.h"

namespace czs {

inline constexpr const char* kShmChannelPath = "/dev/shm/orvanta.Printer.0";
inline constexpr const char* kVirtioChannelPath = "/dev/virtio-ports/orvanta.Printer.0";

inline std::string hostChannelPath(HostTransport transport) {
    return transport == HostTransport::SharedMemory ? kShmChannelPath : kVirtioChannelPath;
}

}  // namespace czs
