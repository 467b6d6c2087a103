#include "common/DaemonStatus.h"

#include <runtime/ServiceNotify.h>

#include <mutex>

namespace czs::daemon_status {

namespace {

struct State {
    std::mutex mutex;
    std::string host = "starting";
    std::size_t printers = 0;
    bool listed = false;
};

State& state() {
    static State s;
    return s;
}

std::string compose(const State& s) {
    std::string out = s.host;
    if (s.listed) {
        out += "; " + std::to_string(s.printers) + (s.printers == 1 ? " printer" : " printers") + " mirrored";
    }
    return out;
}

void publish(State& s) {
    orv::notify::status(compose(s));
}

}  // namespace

void waitingForHost(const std::string& what) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.host = "Waiting for the host channel (" + what + ")";
    s.listed = false;
    publish(s);
}

void hostOpen(const std::string& transport) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.host = "Serving the host over the " + transport;
    publish(s);
}

void printersMirrored(std::size_t count) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.printers = count;
    s.listed = true;
    publish(s);
}

std::string line() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return compose(s);
}

}  // namespace czs::daemon_status
