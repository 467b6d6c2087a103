// Which channel carries the host protocol. Chosen once, when the host channel
// opens, and handed to whoever needs to know (the printer layer), so nothing
// asks the system again.
#pragma once

namespace czs {

enum class HostTransport {
    SerialPort,    // the virtio serial port
    SharedMemory,  // the shared-memory channel
};

}  // namespace czs
