#include "mount/MountManager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "davfs/DavfsFiles.h"
#include "SafeFs.h"
#include "LogText.h"

namespace qmss {

namespace {

bool has_mounts(const UserMounts& mounts) {
    return std::any_of(mounts.begin(), mounts.end(), [](const auto& f) { return !f.second.empty(); });
}

}  // namespace

bool pid_alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

MountManager::MountManager(const ServiceConfig& config, MountSystem& system, DavfsPreparer prepare, PidAlive alive)
    : config_(config), system_(system), prepare_(std::move(prepare)), alive_(std::move(alive)) {
    if (!prepare_) {
        prepare_ = [](const ServiceConfig& c, const std::string& home, int homefd) {
            return prepare_davfs_files(c, home, homefd);
        };
    }
}

UsersTable MountManager::usersTable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return users_;
}

UserInfo MountManager::currentUser() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

std::optional<FolderRequest> MountManager::decode(std::span<const uint8_t> block) {
    ORV_LOG(Debug, "shm recv %ld bytes\n", static_cast<long>(block.size()));
    return parse_folder_request(block);
}

void MountManager::carryOut(const FolderRequest& request) {
    ORV_LOG(Debug, "Got msg shfolder: %s\n", printable(request.folder).c_str());
    ORV_LOG(Debug, "Got msg is mount: %d\n", request.op == 1 ? 1 : 0);
    handleFolderRequest(request);
}

void MountManager::onShmData(std::span<const uint8_t> block) {
    if (std::optional<FolderRequest> request = decode(block)) carryOut(*request);
}

void MountManager::dropIdleUsers() {
    // Called when a new user is about to become current. An entry with
    // nothing mounted is only a memory of a login: dropped once its process
    // is gone, and the oldest ones when the table is full. Entries with mounts
    // stay, so unmount requests still reach every mount.
    auto idle = [](const UsersTable::value_type& e) { return !has_mounts(e.second); };
    for (auto it = users_.begin(); it != users_.end();) {
        if (idle(*it) && !alive_(it->first.pid)) {
            order_.erase(it->first.pid);
            it = users_.erase(it);
        } else {
            ++it;
        }
    }
    while (users_.size() >= config_.max_users) {
        auto oldest = users_.end();
        for (auto it = users_.begin(); it != users_.end(); ++it) {
            if (idle(*it) && (oldest == users_.end() || order_[it->first.pid] < order_[oldest->first.pid])) {
                oldest = it;
            }
        }
        if (oldest == users_.end()) return;
        order_.erase(oldest->first.pid);
        users_.erase(oldest);
    }
}

void MountManager::onUserInfo(const UserInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ORV_LOG(Debug, "recv user info: pid %d, username %s, homedir %s\n", info.pid, info.username.c_str(),
            info.homedir.c_str());
    if (users_.find(info) == users_.end()) {
        dropIdleUsers();
        if (users_.size() >= config_.max_users) {
            ORV_LOG(Error, "Error: users table full (%zu users with mounts), user info for pid %d dropped\n",
                    users_.size(), info.pid);
            return;
        }
        users_.emplace(info, UserMounts{});
        order_[info.pid] = ++arrivals_;
    }
    current_ = info;
    ORV_LOG(Debug, "last user info updated\n");
}

std::string MountManager::commandText(const std::string& user, const std::string& conf,
                                      const std::string& mount_point) const {
    std::string text;
    for (const auto& part : config_.mount_command)
        text += part + " ";
    text += "-t davfs -o uid=\"" + user + "\",conf=\"" + conf + "\" " + config_.endpoint + " \"" + mount_point + "\"";
    return text;
}

void MountManager::handleFolderRequest(const FolderRequest& request) {
    size_t slash = request.folder.find_last_of('/');
    std::string base_name = slash == std::string::npos ? request.folder : request.folder.substr(slash + 1);
    if (request.op == static_cast<uint8_t>(FolderOp::Mount)) {
        mount(request, base_name);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_.empty()) {
        ORV_LOG(Error, "%s", kNoUser);
        return;
    }
    if (request.op != static_cast<uint8_t>(FolderOp::Unmount) &&
        request.op != static_cast<uint8_t>(FolderOp::UnmountAll)) {
        return;
    }
    ORV_LOG(Debug, "Unmount %s\n", printable(request.folder).c_str());
    bool all = request.op == static_cast<uint8_t>(FolderOp::UnmountAll);
    for (auto& [user, mounts] : users_) {
        (void)user;
        for (auto& [folder, points] : mounts) {
            if (!all && folder != request.folder) continue;
            for (MountPoint& mp : points)
                unmountPoint(mp, false);
            std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
        }
    }
    persistLocked();
}

}  // namespace qmss
