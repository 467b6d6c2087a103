// The printer-list exchange: the daemon asks for the host's printers and
// gets the list from the file given on the command line (none by default).
#include <fstream>

#include "HostSim.h"

namespace hostsim {

void HostSim::answerDiscovery() {
    nlohmann::json list =
        nlohmann::json::object({{"meta", nlohmann::json::object()}, {"devices", nlohmann::json::array()}});
    if (!s_.printersFile.empty()) {
        std::ifstream in(s_.printersFile);
        list = nlohmann::json::parse(in, nullptr, false);
        if (list.is_discarded()) {
            error("printer list " + s_.printersFile + " is not JSON");
            return;
        }
    }
    sendMessage("discovery", "response", &list);
    std::size_t n = list.is_object() && list.contains("devices") ? list["devices"].size() : 0;
    out("printers requested, sent " + std::to_string(n) + " devices");
}

}  // namespace hostsim
