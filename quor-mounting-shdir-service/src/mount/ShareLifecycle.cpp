// How shares outlive an instance of the service and how they end without
// losing data: adoption of the shares a previous instance left mounted, and
// the clean end at stop and at logout.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "SafeFs.h"
#include "LogText.h"
#include "mount/MountManager.h"
#include "runtime/ServiceNotify.h"

namespace qmss {

namespace {

bool davfs_mount_of(const MountEntry& e, const std::string& endpoint) {
    bool fuse = e.fstype == "fuse" || e.fstype.rfind("fuse.", 0) == 0;
    return fuse && e.source.find(endpoint) != std::string::npos;
}

// The directory holding a recorded mount point, reached again from the home
// without following any link; the mount point itself must carry `mnt_id`.
std::shared_ptr<const orv::UniqueFd> pin_recorded(const ShareRecord& r) {
    auto home = open_dir(r.homedir);
    if (!home) return nullptr;
    std::string parent_path = r.path.substr(0, r.path.size() - r.name.size() - 1);
    std::optional<std::string> rel = relative_beneath(parent_path, r.homedir);
    if (!rel) return nullptr;
    auto parent = open_beneath(home->get(), *rel, O_RDONLY | O_DIRECTORY);
    if (!parent) return nullptr;
    orv::UniqueFd at(openat(parent->get(), r.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!at || mount_id_of(at.get()) != r.mnt_id) return nullptr;
    return std::make_shared<const orv::UniqueFd>(std::move(parent).value());
}

}  // namespace

size_t MountManager::adopt(const std::vector<ShareRecord>& recorded, const std::vector<MountEntry>& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t adopted = 0;
    for (const ShareRecord& r : recorded) {
        std::optional<MountEntry> entry = find_mount(table, r.mnt_id);
        std::shared_ptr<const orv::UniqueFd> parent;
        if (entry && entry->mount_point == fold_slashes(r.path) && davfs_mount_of(*entry, config_.endpoint)) {
            parent = pin_recorded(r);
        }
        if (!parent) {
            ORV_LOG(Warning, "Recorded share %s at %s is not mounted there any more, forgotten\n",
                    printable(r.folder).c_str(), printable(r.path).c_str());
            continue;
        }
        UserInfo user{r.username, r.homedir, r.pid, r.uid, r.gid};
        auto it = users_.find(user);
        if (it == users_.end()) {
            it = users_.emplace(user, UserMounts{}).first;
            order_[user.pid] = ++arrivals_;
        }
        it->second[r.folder].push_back(MountPoint{r.path, MountState::Mounted, parent, r.name, r.mnt_id, r.staging});
        system_.reserveStaging(r.staging);
        ORV_LOG(Info, "Adopted share %s of %s at %s\n", printable(r.folder).c_str(), printable(r.username).c_str(),
                printable(r.path).c_str());
        ++adopted;
    }
    persistLocked();
    return adopted;
}

void MountManager::cancelMount() {
    system_.cancelCommand();
}

// One share on its way out: its mount point, its davfs2 daemon (a pidfd,
// invalid once the daemon has exited) and whether its mount is still busy.
struct MountManager::Ending {
    MountPoint* mp;
    orv::UniqueFd daemon;
    bool busy = false;

    bool pending() const { return busy || daemon; }
};

size_t MountManager::endShares(const std::function<bool(const UserInfo&)>& which, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Ending> ending;
    for (auto& [user, mounts] : users_) {
        if (!which(user)) continue;
        for (auto& [folder, points] : mounts) {
            for (MountPoint& mp : points) {
                if (mp.state != MountState::Unmounted) ending.push_back(Ending{&mp, system_.openDaemon(mp.staging)});
            }
        }
    }
    size_t ended = 0;
    for (Ending& e : ending) {
        ORV_LOG(Debug, "Ending %s, its davfs2 daemon %s\n", printable(e.mp->path).c_str(),
                e.daemon ? "found" : "not found");
        ended += tryUnmount(e);
    }
    ended += awaitEndings(ending, deadline);
    ended += settleEndings(ending, bound);
    for (auto& [user, mounts] : users_) {
        for (auto& [folder, points] : mounts) {
            for (const MountPoint& mp : points) {
                if (mp.state == MountState::Unmounted) releaseShare(mp.staging);
            }
            std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
        }
    }
    persistLocked();
    return ended;
}

// One plain unmount: davfs2 then uploads and exits by itself. A mount in use
// answers EBUSY and is tried again while time remains. Returns 1 when the
// share left the tree.
size_t MountManager::tryUnmount(Ending& e) {
    MountPoint& mp = *e.mp;
    const int err = system_.unmount(mp.parent ? mp.parent->get() : -1, mp.name, mp.mnt_id, false).errnum();
    if (err == EBUSY) {
        if (!e.busy) ORV_LOG(Info, "Share %s is in use, waiting for it to be free\n", printable(mp.path).c_str());
        e.busy = true;
        return 0;
    }
    if (err != 0 && err != EINVAL && err != ENOENT) {
        ORV_LOG(Warning, "Error: Failed to umount %s. Reason: %s [%d]\n", printable(mp.path).c_str(),
                std::strerror(err), err);
        e.busy = true;
        return 0;
    }
    e.busy = false;
    removeMountDir(mp, false);
    mp.state = MountState::Unmounted;
    return 1;
}

// Until the deadline: retries the busy mounts and waits for each unmounted
// share's davfs2 daemon to exit (its upload done), reporting progress to the
// log and to systemd every five seconds. Returns how many more shares left
// the tree.
size_t MountManager::awaitEndings(std::vector<Ending>& ending, std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    auto pending = [&] { return std::any_of(ending.begin(), ending.end(), std::mem_fn(&Ending::pending)); };
    size_t ended = 0;
    auto last_report = Clock::now();
    while (pending() && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const Ending& e : ending) {
            if (!e.busy && e.daemon) fds.push_back(pollfd{e.daemon.get(), POLLIN, 0});
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 1000));
        if (fds.empty()) {
            usleep(static_cast<useconds_t>(wait_ms) * 1000);
        } else {
            poll(fds.data(), fds.size(), wait_ms);
        }
        for (Ending& e : ending) {
            if (e.busy) {
                ended += tryUnmount(e);
            } else if (e.daemon) {
                pollfd p{e.daemon.get(), POLLIN, 0};
                if (poll(&p, 1, 0) > 0) e.daemon.reset();
            }
        }
        if (Clock::now() - last_report >= std::chrono::seconds(5) && pending()) {
            last_report = Clock::now();
            auto secs = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count();
            size_t n = static_cast<size_t>(std::count_if(ending.begin(), ending.end(), std::mem_fn(&Ending::pending)));
            ORV_LOG(Info, "Waiting for %zu shares to finish uploading (%lld s left)\n", n,
                    static_cast<long long>(secs));
            // Tells systemd the stop is making progress, not hanging; a no-op
            // without a service manager.
            orv::notify::extendTimeout(std::chrono::seconds(10));
            orv::notify::status("Uploading " + std::to_string(n) + " shares before unmounting");
        }
    }
    return ended;
}

// Past the deadline: a mount still in use leaves the tree lazily (open files
// keep working; once the last one is closed the kernel ends it and davfs2
// uploads, so nothing is cut off), and a davfs2 daemon still running has what
// it still caches logged. Returns how many shares left the tree.
size_t MountManager::settleEndings(std::vector<Ending>& ending, std::chrono::seconds bound) {
    size_t ended = 0;
    for (Ending& e : ending) {
        MountPoint& mp = *e.mp;
        if (e.busy) {
            const int err = system_.detach(mp.parent ? mp.parent->get() : -1, mp.name, mp.mnt_id).errnum();
            ::orv::log(err == 0 ? ::orv::LogLevel::Warning : ::orv::LogLevel::Error, ::orv::LogTag{kLogTag, __func__},
                       "Share %s still in use after %u s: %s\n", printable(mp.path).c_str(),
                       static_cast<unsigned>(bound.count()),
                       err == 0 ? "detached, it ends when its last file is closed" : std::strerror(err));
            if (err == 0 || err == EINVAL) {
                mp.state = MountState::Unmounted;
                ++ended;
            }
            continue;
        }
        if (e.daemon) {
            std::vector<std::string> files = system_.cachedFiles(mp.staging);
            std::string list;
            for (size_t i = 0; i < files.size() && i < 20; ++i)
                list += " " + printable(files[i]);
            ORV_LOG(Error, "davfs2 for %s has not finished uploading after %u s; %zu files in its cache:%s\n",
                    printable(mp.path).c_str(), static_cast<unsigned>(bound.count()), files.size(), list.c_str());
        }
    }
    return ended;
}

}  // namespace qmss
