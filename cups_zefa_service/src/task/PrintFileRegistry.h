// The process-wide map from a print file's identifier to its local path,
// plus the host's "platform" and "print-file-format" strings. Written from
// the backend side and read from the host side, possibly on another thread:
// every access goes through the registry's own mutex.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace czs {

class PrintFileRegistry {
public:
    // The single registry, created on first use.
    static PrintFileRegistry& instance();

    // Separate registries exist only for tests; the daemon uses instance().
    PrintFileRegistry() = default;
    PrintFileRegistry(const PrintFileRegistry&) = delete;
    PrintFileRegistry& operator=(const PrintFileRegistry&) = delete;

    // Records (or replaces) the path of `id`. Entries are never removed.
    void addFile(const std::string& id, const std::string& path);
    std::optional<std::string> findFile(const std::string& id) const;
    size_t fileCount() const;

    void setPlatform(const std::string& platform);
    std::string platform() const;
    void setPrintFileFormat(const std::string& format);
    std::string printFileFormat() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> files_;
    std::string platform_;
    std::string printFileFormat_;
};

}  // namespace czs
