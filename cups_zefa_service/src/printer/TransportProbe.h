// Finds the device path of the host channel, which every mirrored queue's
// device URI names so that the backend's jobs reach the right transport.
#pragma once

#include <string>

namespace czs {

class TransportProbe {
public:
    static constexpr const char* kUnitCheckCommand =
        "systemctl list-unit-files --quiet quor-vdagentd.service > /dev/null 2>&1";
    static constexpr const char* kShmPath = "/dev/shm/orvanta.Printer.0";
    static constexpr const char* kVirtioPath = "/dev/virtio-ports/orvanta.Printer.0";

    // `unitCheckCommand` runs through the shell; exit status 0 means the
    // desktop agent that provides the shared-memory channel is installed.
    explicit TransportProbe(std::string unitCheckCommand = kUnitCheckCommand,
                            std::string shmPath = kShmPath,
                            std::string virtioPath = kVirtioPath);

    // Runs the check once. With the agent installed only the shared-memory
    // path counts; without it the virtio port is the fallback. Empty when
    // neither applies.
    std::string transportPath() const;

private:
    std::string m_command;
    std::string m_shmPath;
    std::string m_virtioPath;
};

}  // namespace czs
