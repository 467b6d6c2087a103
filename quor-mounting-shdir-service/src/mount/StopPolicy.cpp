#include "mount/StopPolicy.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "LogText.h"

namespace qmss {

namespace {

struct BusDeleter {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct ErrorGuard {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL: all fields empty
    ~ErrorGuard() { sd_bus_error_free(&error); }
};
struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

}  // namespace

StopKind decide_stop(const std::optional<std::string>& job_type) {
    if (!job_type) return StopKind::Final;
    if (*job_type == "restart" || *job_type == "try-restart" || *job_type == "reload-or-restart") {
        return StopKind::Restart;
    }
    return StopKind::Final;
}

std::optional<std::string> SystemdStopProbe::pendingJobType() {
    char* raw_unit = nullptr;
    int r = sd_pid_get_unit(0, &raw_unit);
    CString unit(raw_unit);
    if (r < 0) {
        ORV_LOG(Info, "Not run as a system unit (%s): shares are unmounted\n", std::strerror(-r));
        return std::nullopt;
    }
    sd_bus* raw_bus = nullptr;
    r = sd_bus_open_system(&raw_bus);
    std::unique_ptr<sd_bus, BusDeleter> bus(raw_bus);
    if (r < 0) {
        ORV_LOG(Warning, "No system bus to ask about the stop of %s (%s): shares are unmounted\n", unit.get(),
                std::strerror(-r));
        return std::nullopt;
    }
    sd_bus_set_method_call_timeout(bus.get(), static_cast<uint64_t>(timeout_ms_) * 1000);
    char* raw_path = nullptr;
    r = sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.get(), &raw_path);
    CString unit_path(raw_path);
    if (r < 0) return std::nullopt;

    ErrorGuard err;
    sd_bus_message* raw_reply = nullptr;
    r = sd_bus_get_property(bus.get(), "org.freedesktop.systemd1", unit_path.get(), "org.freedesktop.systemd1.Unit",
                            "Job", &err.error, &raw_reply, "(uo)");
    std::unique_ptr<sd_bus_message, MessageDeleter> reply(raw_reply);
    if (r < 0) {
        ORV_LOG(Warning, "Cannot read the job of %s (%s): shares are unmounted\n", unit.get(),
                err.error.message ? err.error.message : std::strerror(-r));
        return std::nullopt;
    }
    uint32_t job_id = 0;
    const char* job_path = nullptr;
    if (sd_bus_message_read(reply.get(), "(uo)", &job_id, &job_path) < 0 || job_id == 0 || !job_path) {
        return std::nullopt;
    }
    ErrorGuard err2;
    char* raw_type = nullptr;
    r = sd_bus_get_property_string(bus.get(), "org.freedesktop.systemd1", job_path, "org.freedesktop.systemd1.Job",
                                   "JobType", &err2.error, &raw_type);
    CString type(raw_type);
    if (r < 0 || !type) return std::nullopt;
    return std::string(type.get());
}

}  // namespace qmss
