// The map from a print file's identifier to its local path, plus the host's
// "platform" and "print-file-format" strings. One registry per daemon, owned
// by the service and lent by reference to the performers. Written from the
// backend side and read from the host side, possibly on another thread:
// every access goes through the registry's own mutex.
//
// An entry lives until the host has fetched the file's last byte or until it
// has waited longer than the spool retention; then the spool file itself is
// removed too, unless another live entry still names it (a backend that got
// no answer announces the same file again under a new identifier).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace czs {

// A spool file as it was when it was announced: its canonical path and the
// identity that tells it apart from a later file of the same name.
struct SpoolFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    // Inode numbers are reused at once after an unlink; with the
    // modification time a later file of the same name and inode still
    // differs.
    timespec modified{};

    // Only a file whose identity was taken can be told apart from a later
    // file of the same name, so only such a file is ever removed.
    bool removable() const { return inode != 0; }
};

class PrintFileRegistry {
public:
    using Clock = std::chrono::steady_clock;
    // Called (under the registry's lock, so no new announcement of the same
    // file can slip in between) for a spool file nobody needs any more.
    using Remover = std::function<void(const SpoolFile&)>;

    // More print files than this waiting for the host means the host is not
    // fetching at all; refusing further ones keeps the daemon's memory
    // bounded, and the backend keeps a refused job queued in CUPS.
    static constexpr std::size_t kMaxFiles = 4096;

    explicit PrintFileRegistry(std::size_t maxFiles = kMaxFiles) : maxFiles_(maxFiles) {}
    PrintFileRegistry(const PrintFileRegistry&) = delete;
    PrintFileRegistry& operator=(const PrintFileRegistry&) = delete;

    /// Records `id` -> `file`, registered now. False (nothing recorded) when
    /// the registry is full.
    bool addFile(const std::string& id, const SpoolFile& file);
    /// Records a path whose identity is unknown (it is never removed).
    bool addFile(const std::string& id, const std::string& path) { return addFile(id, SpoolFile{path, 0, 0}); }

    /// The path of `id`, if it is registered.
    std::optional<std::string> findFile(const std::string& id) const;

    /// The host has the announcement of `id` (its frame reached the host, or
    /// the host asked for a piece of it): from now on the file may be removed
    /// when the entry expires. Unknown ids are ignored.
    void markAnnounced(const std::string& id);

    /// The host has fetched the last byte of `id`: the entry goes, and its
    /// file too when no other live entry names it.
    void fileFetched(const std::string& id, const Remover& remove);

    /// Drops the entries registered at or before `cutoff`. The file of an
    /// announced one is removed when no other live entry names it; the file
    /// of one never announced is left to the backend, which spools a
    /// rejected job anew. Returns how many entries were dropped.
    std::size_t expire(Clock::time_point cutoff, const Remover& remove);

    /// The metadata strings of the host's latest printer list.
    void setPlatform(std::string platform);
    void setPrintFileFormat(std::string printFileFormat);

    struct Metadata {
        std::string platform;
        std::string printFileFormat;
    };
    Metadata metadata() const;

private:
    struct Entry {
        SpoolFile file;
        Clock::time_point registered;
        bool announced = false;
    };

    // Whether an entry other than `except` names the same file.
    bool otherEntryNames(const SpoolFile& file, const std::string& except) const;

    mutable std::mutex mutex_;
    std::size_t maxFiles_;
    std::unordered_map<std::string, Entry> files_;
    Metadata metadata_;
};

}  // namespace czs
