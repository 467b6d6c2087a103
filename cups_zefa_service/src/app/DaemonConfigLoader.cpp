#include "app/DaemonConfigLoader.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <yaml-cpp/yaml.h>

#include <runtime/Log.h>
#include "runtime/UserDatabase.h"

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
    std::error_code ec;
    const std::optional<orv::PasswdEntry> user = orv::findUser(text, ec);
    if (!user) {
        why = ec ? ec.message() : "no such user";
        return false;
    }
    out = user->uid;
    return true;
}

// Reads one key: a value that is missing leaves the field alone, one that
// does not convert is logged and leaves it at its default, so one slip does
// not cost the administrator's other settings.
template <typename Read>
void readKey(const YAML::Node& root, const char* key, const std::string& path, Read read) {
    const YAML::Node n = root[key];
    if (!n) {
        return;
    }
    try {
        read(n);
    } catch (const std::exception& e) {
        ORV_LOG_AS(Error, "load", "%s: %s: %s, using its default\n", path.c_str(), key, e.what());
    }
}

PrintFormatSetting formatOf(const std::string& word) {
    if (word == "host") return PrintFormatSetting::Host;
    if (word == "pdf") return PrintFormatSetting::Pdf;
    if (word == "ps") return PrintFormatSetting::PostScript;
    if (word == "raw") return PrintFormatSetting::Raw;
    throw std::runtime_error("must be host, pdf, ps or raw");
}

std::vector<uid_t> ownersOf(const YAML::Node& n, const std::string& path) {
    if (!n.IsSequence()) {
        throw std::runtime_error("must be a list");
    }
    std::vector<uid_t> owners;
    for (const YAML::Node& item : n) {
        const std::string text = item.as<std::string>();
        uid_t uid = 0;
        std::string why;
        if (resolveOwner(text, uid, why)) {
            owners.push_back(uid);
        } else {
            ORV_LOG_AS(Error, "load", "%s: trusted channel owner '%s' left out: %s\n", path.c_str(), text.c_str(),
                       why.c_str());
        }
    }
    return owners;
}

DaemonConfig parse(const YAML::Node& root, const std::string& path) {
    DaemonConfig config;
    if (root.IsNull()) {
        return config;  // an empty file
    }
    if (!root.IsMap()) {
        throw std::runtime_error("the top level is not a mapping");
    }
    readKey(root, "spool_retention_minutes", path, [&](const YAML::Node& n) {
        const long long minutes = n.as<long long>();
        if (minutes <= 0 || minutes > INT_MAX) {
            throw std::runtime_error("must be a positive number of minutes");
        }
        config.spoolRetention = std::chrono::minutes(minutes);
    });
    readKey(root, "follow_host_default", path, [&](const YAML::Node& n) { config.followHostDefault = n.as<bool>(); });
    readKey(root, "print_format", path,
            [&](const YAML::Node& n) { config.printFormat = formatOf(n.as<std::string>()); });
    readKey(root, "trusted_channel_owners", path,
            [&](const YAML::Node& n) { config.trustedChannelOwners = ownersOf(n, path); });
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
