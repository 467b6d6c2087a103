// What the private scheduler reports: its queues with their attributes
// (through libcups), the administrative requests it answered (from its debug
// log), and queue setup with lpadmin for "foreign" queues.
#pragma once

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace czs::e2e {

struct Queue {
    std::string deviceUri;
    std::string info;
    std::string location;
    std::string makeAndModel;
    bool accepting = false;
    int state = 0;
};

// Every destination CUPS lists, by name.
inline std::map<std::string, Queue> cupsQueues() {
    std::map<std::string, Queue> out;
    cups_dest_t* dests = nullptr;
    const int n = cupsGetDests(&dests);
    for (int i = 0; i < n; ++i) {
        const cups_dest_t& d = dests[i];
        if (d.instance) {
            continue;
        }
        auto opt = [&](const char* name) {
            const char* v = cupsGetOption(name, d.num_options, d.options);
            return std::string(v ? v : "");
        };
        Queue q;
        q.deviceUri = opt("device-uri");
        q.info = opt("printer-info");
        q.location = opt("printer-location");
        q.makeAndModel = opt("printer-make-and-model");
        q.accepting = opt("printer-is-accepting-jobs") == "true";
        q.state = std::atoi(opt("printer-state").c_str());
        out[d.name] = q;
    }
    cupsFreeDests(n, dests);
    return out;
}

inline std::vector<std::string> queueNames() {
    std::vector<std::string> out;
    for (const auto& [name, q] : cupsQueues()) {
        out.push_back(name);
    }
    return out;
}

inline std::string cupsdRoot() {
    const char* root = std::getenv("CUPSD_ROOT");
    return root ? root : "/run/cups-e2e";
}

// The scheduler's answers to administrative requests, in order, as
// "<operation> <printer-uri> <status>", read from its debug log. A mark
// taken before an action lets a test see exactly what that action sent.
class RequestLog {
public:
    RequestLog() : m_path(cupsdRoot() + "/log/error_log") { mark(); }

    void mark() {
        std::ifstream in(m_path, std::ios::ate);
        m_offset = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }

    std::vector<std::string> sinceMark() const {
        std::vector<std::string> out;
        std::ifstream in(m_path);
        in.seekg(m_offset);
        std::string line;
        const std::string key = "Returning IPP ";
        while (std::getline(in, line)) {
            // "... Returning IPP <status> for <op> (<uri>) from localhost."
            const auto at = line.find(key);
            if (at == std::string::npos) {
                continue;
            }
            const auto forAt = line.find(" for ", at);
            const auto open = line.find(" (", forAt);
            const auto close = line.find(") from", open);
            if (forAt == std::string::npos || open == std::string::npos || close == std::string::npos) {
                continue;
            }
            const std::string status = line.substr(at + key.size(), forAt - at - key.size());
            const std::string op = line.substr(forAt + 5, open - forAt - 5);
            if (op.rfind("CUPS-Add-Modify-Printer", 0) != 0 && op.rfind("CUPS-Delete-Printer", 0) != 0 &&
                op.rfind("CUPS-Accept-Jobs", 0) != 0) {
                continue;
            }
            out.push_back(op + " " + line.substr(open + 2, close - open - 2) + " " + status);
        }
        return out;
    }

private:
    std::string m_path;
    std::streamoff m_offset = 0;
};

// A queue the daemon did not create, made the way an administrator would.
inline bool addForeignQueue(const std::string& name) {
    const std::string cmd = "lpadmin -p '" + name + "' -v 'ipp://192.0.2.1/ipp/print' -E >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// A queue as an earlier run of the daemon would have left it.
inline bool addOurQueue(const std::string& name, const std::string& deviceId) {
    const std::string cmd =
        "lpadmin -p '" + name + "' -v 'zefa-prt:///dev/shm/orvanta.Printer.0/" + deviceId + "' -E >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

inline bool setDefault(const std::string& name) {
    return std::system(("lpadmin -d '" + name + "' >/dev/null 2>&1").c_str()) == 0;
}

// The scheduler's default destination as lpstat -d reports it; empty for none.
inline std::string lpstatDefault() {
    FILE* p = ::popen("env -u LPDEST -u PRINTER lpstat -d 2>/dev/null", "r");
    if (p == nullptr) return "?";
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    ::pclose(p);
    static const std::string kPrefix = "system default destination: ";
    const auto at = out.find(kPrefix);
    if (at == std::string::npos) return "";
    std::string name = out.substr(at + kPrefix.size());
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

// No default: the scheduler forgets it with the queue it named.
inline void clearDefault() {
    if (lpstatDefault().empty()) return;
    (void)std::system(
        "lpadmin -p czs-default-probe -v 'ipp://192.0.2.1/x' >/dev/null 2>&1 && "
        "lpadmin -d czs-default-probe >/dev/null 2>&1 && lpadmin -x czs-default-probe >/dev/null 2>&1");
}

inline void deleteAllQueues() {
    for (const std::string& name : queueNames()) {
        const std::string cmd = "lpadmin -x '" + name + "' >/dev/null 2>&1";
        (void)std::system(cmd.c_str());
    }
}

}  // namespace czs::e2e
