// What a SIGTERM means for the shares. A restart (systemctl restart, a
// package upgrade) leaves them mounted for the next instance to adopt;
// anything else (stop, shutdown, no service manager, no answer) unmounts
// them cleanly, since nobody would be there to look after them.
#pragma once

#include <optional>
#include <string>

namespace qmss {

enum class StopKind { Restart, Final };

/// The type of the job the service manager runs on our unit right now
/// ("restart", "stop", ...), or nothing when there is none or no answer.
class StopProbe {
public:
    virtual ~StopProbe() = default;
    virtual std::optional<std::string> pendingJobType() = 0;
};

/// Only a job that starts the unit again keeps the shares.
StopKind decide_stop(const std::optional<std::string>& job_type);

/// Asks systemd on the system bus: the unit of this process
/// (sd_pid_get_unit), its "Job" property, that job's "JobType". Every call
/// is bounded by `timeout_ms`; no unit, no bus or no job gives nothing.
class SystemdStopProbe : public StopProbe {
public:
    explicit SystemdStopProbe(unsigned timeout_ms = 2000) : timeout_ms_(timeout_ms) {}
    std::optional<std::string> pendingJobType() override;

private:
    unsigned timeout_ms_;
};

}  // namespace qmss
