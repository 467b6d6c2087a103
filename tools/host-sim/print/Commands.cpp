// The operator's commands on host-sim's standard input.
#include <sstream>

#include "HostSim.h"

namespace hostsim {

bool HostSim::command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (cmd.empty()) {
        return true;
    }
    if (cmd == "discover") {
        sendMessage("discovery", "notification", nullptr);
        return true;
    }
    if (cmd == "garbage") {
        unsigned n = 100, seed = 1;
        in >> n >> seed;
        sendGarbage(n, seed);
        return true;
    }
    if (cmd == "typeerrors") {
        sendTypeErrors();
        return true;
    }
    if (cmd == "raw") {
        std::string hex;
        in >> hex;
        std::vector<uint8_t> bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        sendRaw(bytes);
        return true;
    }
    if (cmd == "request") {
        std::string id;
        long long off = 0, size = 0;
        in >> id >> off >> size;
        nlohmann::json req = {{"id", id}, {"offset", off}, {"size", size}};
        manual_.push_back({id, off, size});
        sendMessage("sendfile", "request", &req);
        return true;
    }
    if (cmd == "pause") {
        gate_.pause();
        out("paused");
        return true;
    }
    if (cmd == "resume") {
        gate_.resume();
        out("resumed");
        return true;
    }
    if (cmd == "status") {
        out("status files=" + std::to_string(filesDone_) + " active=" + std::to_string(transfers_.size()) +
            " errors=" + std::to_string(errors_));
        return true;
    }
    return false;
}

}  // namespace hostsim
