#include "task/PrintFileRegistry.h"

#include <utility>
#include <vector>

namespace czs {

bool PrintFileRegistry::addFile(const std::string& id, const SpoolFile& file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (files_.size() >= maxFiles_ && files_.find(id) == files_.end()) return false;
    files_[id] = Entry{file, Clock::now(), false};
    return true;
}

std::optional<std::string> PrintFileRegistry::findFile(const std::string& id) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(id);
    if (it == files_.end()) return std::nullopt;
    return it->second.file.path;
}

void PrintFileRegistry::markAnnounced(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const auto it = files_.find(id); it != files_.end()) it->second.announced = true;
}

bool PrintFileRegistry::otherEntryNames(const SpoolFile& file, const std::string& except) const {
    for (const auto& [id, entry] : files_) {
        if (id != except && entry.file.path == file.path) return true;
    }
    return false;
}

void PrintFileRegistry::fileFetched(const std::string& id, const Remover& remove) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(id);
    if (it == files_.end()) return;
    const SpoolFile file = std::move(it->second.file);
    files_.erase(it);
    bool stillNamed = false;
    for (auto& [other, entry] : files_) {
        if (entry.file.path != file.path) continue;
        stillNamed = true;
        // The host demonstrably has this file's bytes: the other entries of
        // it may take the file with them when they expire.
        entry.announced = true;
    }
    if (!stillNamed && remove && file.removable()) remove(file);
}

std::size_t PrintFileRegistry::expire(Clock::time_point cutoff, const Remover& remove) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, Entry>> dropped;
    for (auto it = files_.begin(); it != files_.end();) {
        if (it->second.registered <= cutoff) {
            dropped.emplace_back(it->first, std::move(it->second));
            it = files_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [id, entry] : dropped) {
        if (!entry.announced || !remove || !entry.file.removable()) continue;
        if (otherEntryNames(entry.file, id)) continue;
        // Two expired entries of one file: remove it once.
        bool earlier = false;
        for (const auto& [otherId, other] : dropped) {
            if (&other == &entry) break;
            if (other.announced && other.file.path == entry.file.path) earlier = true;
        }
        if (!earlier) remove(entry.file);
    }
    return dropped.size();
}

void PrintFileRegistry::setPlatform(std::string platform) {
    const std::lock_guard<std::mutex> lock(mutex_);
    metadata_.platform = std::move(platform);
}

void PrintFileRegistry::setPrintFileFormat(std::string printFileFormat) {
    const std::lock_guard<std::mutex> lock(mutex_);
    metadata_.printFileFormat = std::move(printFileFormat);
}

PrintFileRegistry::Metadata PrintFileRegistry::metadata() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return metadata_;
}

}  // namespace czs
