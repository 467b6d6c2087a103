#include "task/NewFilePerformer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include <runtime/Log.h>
#include "protocol/PrintProtocolJsonMsg.h"

#include <cerrno>
#include <cstring>

namespace czs {
namespace {

constexpr const char* kLogTag = "NewFilePerformer";

std::optional<std::string> canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

}  // namespace

NewFilePerformer::NewFilePerformer(std::string spoolDir, PrintFileRegistry& registry)
    : spoolDir_(std::move(spoolDir)), registry_(registry) {}

void NewFilePerformer::setData(const RawStreamData& data) {
    if (!data.empty()) json_ = nlohmann::json::parse(data.begin(), data.end());
}

std::optional<SpoolFile> NewFilePerformer::admit(const std::string& path) const {
    // The daemon runs as root and hands whatever it serves to the host, so a
    // local client must not be able to name an arbitrary file. Only files
    // under our private spool directory qualify, judged by their resolved
    // path so that neither ".." nor a symbolic link can lead outside it.
    const auto dir = canonical(spoolDir_);
    struct stat dirStat {};
    if (!dir || ::stat(dir->c_str(), &dirStat) != 0 || !S_ISDIR(dirStat.st_mode) || dirStat.st_uid != ::geteuid() ||
        (dirStat.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ORV_LOG_AS(Error, "modifyJson", "refusing print file %s: spool directory %s is missing or not private\n",
                   path.c_str(), spoolDir_.c_str());
        return std::nullopt;
    }
    // A JSON string may hold a NUL; the file system would see a shorter
    // name than the one announced, so such a path names no file of ours.
    if (path.find('\0') != std::string::npos) {
        ORV_LOG_AS(Error, "modifyJson", "refusing print file %s: the path holds a NUL byte\n", path.c_str());
        return std::nullopt;
    }
    const auto file = canonical(path);
    if (!file) {
        ORV_LOG_AS(Error, "modifyJson", "refusing print file %s: %s\n", path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    if (file->compare(0, dir->size() + 1, *dir + "/") != 0) {
        ORV_LOG_AS(Error, "modifyJson", "refusing print file %s: not inside %s\n", path.c_str(), dir->c_str());
        return std::nullopt;
    }
    struct stat fileStat {};
    if (::stat(file->c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode)) {
        ORV_LOG_AS(Error, "modifyJson", "refusing print file %s: not a regular file\n", path.c_str());
        return std::nullopt;
    }
    // The identity lets the file's later removal tell it apart from another
    // file that took the same name meanwhile.
    return SpoolFile{*file, fileStat.st_dev, fileStat.st_ino, fileStat.st_mtim};
}

bool NewFilePerformer::modifyJson() {
    if (json_.is_null() || (json_.is_object() && json_.empty()) || (json_.is_array() && json_.empty())) {
        ORV_LOG(Error, "Json empty\n");
        return true;
    }
    const std::string path = json_["abspath"].get<std::string>();
    const auto file = admit(path);
    if (!file) return false;
    const std::string id = formatUuid(generateUuid());
    if (!registry_.addFile(id, *file)) {
        ORV_LOG(Error, "refusing print file %s: too many print files are waiting for the host\n", path.c_str());
        return false;
    }
    json_["id"] = id;
    json_.erase("abspath");
    return true;
}

std::vector<uint8_t> NewFilePerformer::createMessage() {
    if (!modifyJson()) return {};
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeNotification);
    msg.setField("data", json_);
    return msg.serialize();
}

std::array<uint8_t, 16> NewFilePerformer::generateUuid() {
    std::random_device device("default");
    std::mt19937 generator(device());
    std::uniform_int_distribution<int> byte(0, 255);
    std::array<uint8_t, 16> out{};
    for (auto& b : out)
        b = static_cast<uint8_t>(byte(generator));
    out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);  // version 4
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return out;
}

std::string NewFilePerformer::formatUuid(const std::array<uint8_t, 16>& b) {
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace czs
