#include "task/PrintFileRegistry.h"

namespace czs {

PrintFileRegistry& PrintFileRegistry::instance() {
    static PrintFileRegistry registry;
    return registry;
}

void PrintFileRegistry::addFile(const std::string& id, const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    files_[id] = path;
}

std::optional<std::string> PrintFileRegistry::findFile(const std::string& id) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(id);
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

size_t PrintFileRegistry::fileCount() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return files_.size();
}

void PrintFileRegistry::setPlatform(const std::string& platform) {
    const std::lock_guard<std::mutex> lock(mutex_);
    platform_ = platform;
}

std::string PrintFileRegistry::platform() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return platform_;
}

void PrintFileRegistry::setPrintFileFormat(const std::string& format) {
    const std::lock_guard<std::mutex> lock(mutex_);
    printFileFormat_ = format;
}

std::string PrintFileRegistry::printFileFormat() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return printFileFormat_;
}

}  // namespace czs
