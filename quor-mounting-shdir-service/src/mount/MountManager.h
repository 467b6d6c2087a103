// Mounts and unmounts the host's shared folders for the logged-in user, and
// remembers every mount point so it can be unmounted (or retried) later.
//
// A mount point is made and pinned by descriptor inside the user's home;
// davfs2 mounts on a root-only staging directory and the mount is then moved
// onto the pinned directory, so it lands on the directory that was checked
// and only there. An unmount acts on that mount (its id, through the pinned
// parent), never on a path walked again.
#pragma once

#include <runtime/UniqueFd.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "Config.h"
#include "user_info/UserInfo.h"
#include "mount/FolderRequest.h"
#include "mount/MountSystem.h"
#include "mount/MountTable.h"
#include "mount/ShareStateStore.h"

namespace qmss {

enum class MountState : uint8_t { Unmounted = 0, Mounted = 1, UnmountFailed = 255 };

struct MountPoint {
    std::string path;  // as built, for logs
    MountState state = MountState::Mounted;
    // The directory holding the mount point, pinned when it was made; shared
    // by the copies handed out for inspection.
    std::shared_ptr<const orv::UniqueFd> parent;
    std::string name;     // the mount point's entry in parent
    uint64_t mnt_id = 0;  // the mount moved onto it
    std::string staging;  // where davfs2 mounted it (names its daemon)
};

using UserMounts = std::unordered_map<std::string, std::vector<MountPoint>>;

// Users are told apart by the pid of their login.
struct UserInfoPidHash {
    size_t operator()(const UserInfo& u) const {
        return std::hash<size_t>()(static_cast<size_t>(static_cast<uint32_t>(u.pid)));
    }
};
struct UserInfoPidEqual {
    bool operator()(const UserInfo& a, const UserInfo& b) const { return a.pid == b.pid; }
};
using UsersTable = std::unordered_map<UserInfo, UserMounts, UserInfoPidHash, UserInfoPidEqual>;

/// prepare_davfs_files, or a stand-in: (config, homedir, pinned home) → conf path or "".
using DavfsPreparer = std::function<std::string(const ServiceConfig&, const std::string&, int)>;
/// Whether a process still runs; stands in for kill(pid, 0) in tests.
using PidAlive = std::function<bool(pid_t)>;

bool pid_alive(pid_t pid);

class MountManager {
public:
    /// `config` and `system` are borrowed and must outlive the manager.
    MountManager(const ServiceConfig& config, MountSystem& system, DavfsPreparer prepare = nullptr,
                 PidAlive alive = pid_alive);

    /// Decodes one block of the shared-memory channel (one block, one
    /// request); nothing when it is malformed (logged). Any thread.
    static std::optional<FolderRequest> decode(std::span<const uint8_t> block);
    /// Logs what the request is and carries it out (handleFolderRequest).
    void carryOut(const FolderRequest& request);
    /// decode + carryOut, on the calling thread.
    void onShmData(std::span<const uint8_t> block);
    /// Makes the user current (collector thread). The table is bounded by
    /// config.max_users: entries of other users whose process is gone and who
    /// have no mount recorded are dropped first, then the oldest such entries.
    void onUserInfo(const UserInfo& info);
    /// Carries out one request. Requests must come from one thread at a time
    /// (the request worker): the mount command runs outside service_mutex, so
    /// user info and the retry task are never held up by it.
    void handleFolderRequest(const FolderRequest& request);
    /// Main thread: retries the unmounts that failed even when detached.
    void retryFailedUnmounts();

    /// Keeps `store` (borrowed; may be null) in step with the mounted shares
    /// after every change, so a new instance can adopt them.
    void setStateStore(ShareStateStore* store);
    /// The shares mounted now, as the state file records them.
    std::vector<ShareRecord> records() const;
    /// Takes over the shares a previous instance recorded: each only when the
    /// mount table holds a davfs2 mount of our endpoint with that id on that
    /// very path, reached again from the home without a link. Returns how
    /// many were adopted; the others are logged and forgotten.
    size_t adopt(const std::vector<ShareRecord>& recorded, const std::vector<MountEntry>& table);
    /// Kills the mount command in progress (an unmount-all must not wait for
    /// a mount that hangs). Any thread.
    void cancelMount();
    /// Ends the shares of the users `which` selects the way that keeps their
    /// data: a plain unmount (retried while busy), then a wait for each davfs2
    /// daemon to upload and exit, all within `bound`; past it a busy mount is
    /// detached lazily and whatever davfs2 still caches is logged. Never a
    /// signal to davfs2, never a forced unmount. Returns how many ended.
    size_t endShares(const std::function<bool(const UserInfo&)>& which, std::chrono::seconds bound);

    /// Copies taken under the service mutex, for inspection.
    UsersTable usersTable() const;
    UserInfo currentUser() const;

    /// The command text as logged, with its arguments quoted.
    std::string commandText(const std::string& user, const std::string& conf, const std::string& mount_point) const;

private:
    struct PinnedDir {
        std::shared_ptr<const orv::UniqueFd> fd;
        std::string path;
    };
    struct MountTarget;
    struct MountOutcome;
    static constexpr const char* kNoUser = "Cannot process mount operation cause has no info about current user\n";

    // A mount in steps (MountSteps.cpp); each step logs why it stops.
    void mount(const FolderRequest& request, const std::string& base_name);
    std::optional<UserInfo> mountingUser(const FolderRequest& request);
    std::optional<PinnedDir> pinMountBase(const UserInfo& user, int homefd, const std::string& mount_base);
    std::optional<MountTarget> pickMountPoint(const UserInfo& user, int homefd, const std::string& mount_base,
                                              const std::string& base_name);
    bool prepareDavfs(const UserInfo& user, int homefd);
    std::optional<MountOutcome> runMount(const FolderRequest& request, const UserInfo& user, const MountTarget& target);
    void recordMount(const FolderRequest& request, const UserInfo& user, const MountTarget& target,
                     const MountOutcome& out);
    void unmountPoint(MountPoint& mp, bool retry);
    // The clean end of shares in steps (ShareLifecycle.cpp).
    struct Ending;
    size_t tryUnmount(Ending& e);
    size_t awaitEndings(std::vector<Ending>& ending, std::chrono::steady_clock::time_point deadline);
    size_t settleEndings(std::vector<Ending>& ending, std::chrono::seconds bound);
    // The mount behind this staging name is gone: its name and root's copy of
    // the davfs2 files go with it.
    void releaseShare(const std::string& staging);
    void persistLocked();
    std::vector<ShareRecord> recordsLocked() const;
    void removeMountDir(const MountPoint& mp, bool retry);
    void dropIdleUsers();

    const ServiceConfig& config_;
    MountSystem& system_;
    DavfsPreparer prepare_;
    PidAlive alive_;

    // service_mutex: guards users_, order_ and current_. Held for an unmount
    // request and a retry round; a mount takes it only to read the current
    // user and to record the result.
    mutable std::mutex mutex_;
    UsersTable users_;
    std::unordered_map<int32_t, uint64_t> order_;  // pid → arrival, for eviction
    uint64_t arrivals_ = 0;
    UserInfo current_;
    ShareStateStore* store_ = nullptr;
};

}  // namespace qmss
