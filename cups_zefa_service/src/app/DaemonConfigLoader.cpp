#include "app/DaemonConfigLoader.h"

#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <yaml-cpp/yaml.h>

#include <runtime/Log.h>

namespace czs {

namespace {

constexpr const char* kLogTag = "DaemonConfig";

// A uid for a name or a decimal number; nothing for a name no user has.
bool resolveOwner(const std::string& text, uid_t& out, std::string& why) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
        if (errno != 0 || v >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) {
            why = "not a valid uid";
            return false;
        }
        out = static_cast<uid_t>(v);
        return true;
    }
    std::vector<char> buf(16384);
    passwd pw {};
    passwd* found = nullptr;
    const int rc = ::getpwnam_r(text.c_str(), &pw, buf.data(), buf.size(), &found);
    if (rc != 0 || found == nullptr) {
        why = rc != 0 ? std::strerror(rc) : "no such user";
        return false;
    }
    out = found->pw_uid;
    return true;
}

DaemonConfig parse(const YAML::Node& root, const std::string& path) {
    DaemonConfig config;
    if (root.IsNull()) {
        return config;  // an empty file
    }
    if (!root.IsMap()) {
        throw std::runtime_error("the top level is not a mapping");
    }
    if (const YAML::Node n = root["spool_retention_minutes"]) {
        const long long minutes = n.as<long long>();
        if (minutes <= 0 || minutes > INT_MAX) {
            throw std::runtime_error("spool_retention_minutes must be a positive number of minutes");
        }
        config.spoolRetention = std::chrono::minutes(minutes);
    }
    if (const YAML::Node n = root["follow_host_default"]) {
        config.followHostDefault = n.as<bool>();
    }
    if (const YAML::Node n = root["print_format"]) {
        const std::string format = n.as<std::string>();
        if (format == "host") {
            config.printFormat = PrintFormatSetting::Host;
        } else if (format == "pdf") {
            config.printFormat = PrintFormatSetting::Pdf;
        } else if (format == "ps") {
            config.printFormat = PrintFormatSetting::PostScript;
        } else if (format == "raw") {
            config.printFormat = PrintFormatSetting::Raw;
        } else {
            throw std::runtime_error("print_format must be host, pdf, ps or raw");
        }
    }
    if (const YAML::Node n = root["trusted_channel_owners"]) {
        if (!n.IsSequence()) {
            throw std::runtime_error("trusted_channel_owners must be a list");
        }
        for (const YAML::Node& item : n) {
            const std::string text = item.as<std::string>();
            uid_t uid = 0;
            std::string why;
            if (resolveOwner(text, uid, why)) {
                config.trustedChannelOwners.push_back(uid);
            } else {
                ORV_LOG_AS(Error, "load", "%s: trusted channel owner '%s' left out: %s\n", path.c_str(), text.c_str(),
                           why.c_str());
            }
        }
    }
    return config;
}

}  // namespace

DaemonConfig loadDaemonConfig(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return DaemonConfig{};
    }
    try {
        DaemonConfig config = parse(YAML::LoadFile(path), path);
        static constexpr const char* kFormats[] = {"host", "pdf", "ps", "raw"};
        ORV_LOG_AS(Info, "load",
                   "%s: spool retention %lld min, follow host default %s, %zu trusted channel owners, "
                   "print format %s\n",
                   path.c_str(), static_cast<long long>(config.spoolRetention.count()),
                   config.followHostDefault ? "on" : "off", config.trustedChannelOwners.size(),
                   kFormats[static_cast<int>(config.printFormat)]);
        return config;
    } catch (const std::exception& e) {
        ORV_LOG_AS(Error, "load", "%s unusable (%s), using the defaults\n", path.c_str(), e.what());
    }
    return DaemonConfig{};
}

}  // namespace czs
