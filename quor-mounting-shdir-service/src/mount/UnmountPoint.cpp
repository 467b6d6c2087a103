// Unmounting one mount point on a host request or a retry round, and what
// goes with it (the directory, the staging name, root's davfs2 files, the
// state file).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <runtime/ServiceNotify.h>

#include "davfs/RootDavfsCopy.h"
#include "LogText.h"
#include "mount/MountManager.h"

namespace qmss {

void MountManager::removeMountDir(const MountPoint& mp, bool retry) {
    // Through the pinned parent, and only an empty directory: never a file,
    // never anything a swapped path leads to.
    if (mp.parent && unlinkat(mp.parent->get(), mp.name.c_str(), AT_REMOVEDIR) == 0) return;
    int e = mp.parent ? errno : EBADF;
    ORV_LOG(Warning, retry ? "Error[%d] check dir to mount %s: %s\n" : "Error[%d]: while unmount %s. %s\n", e,
            printable(mp.path).c_str(), std::strerror(e));
}

void MountManager::unmountPoint(MountPoint& mp, bool retry) {
    int parentfd = mp.parent ? mp.parent->get() : -1;
    const int err = system_.unmount(parentfd, mp.name, mp.mnt_id, false).errnum();
    if (err == 0) {
        ORV_LOG(Debug, "Umount result %d\n", 0);
        removeMountDir(mp, retry);
        mp.state = MountState::Unmounted;
        releaseShare(mp.staging);
        return;
    }
    ORV_LOG(Warning, "Error: Failed to umount %s. Reason: %s [%d]\n", printable(mp.path).c_str(), std::strerror(err),
            err);
    // That mount is not there any more (unmounted by hand, or the davfs2
    // daemon died): forcing cannot help, and retrying it for ever would only
    // repeat the error. Treat it as unmounted.
    if (err == EINVAL || err == ENOENT) {
        ORV_LOG(Warning, "Mount point %s is not mounted any more\n", printable(mp.path).c_str());
        removeMountDir(mp, retry);
        mp.state = MountState::Unmounted;
        releaseShare(mp.staging);
        return;
    }
    // Never MNT_FORCE: on a FUSE mount it aborts the connection, so the
    // user's open files fail ("Transport endpoint is not connected") and what
    // they were writing is lost. A lazy detach takes the share out of the
    // home at once; open files keep working, and when the last one is closed
    // the kernel ends the mount and davfs2 uploads and exits.
    const int derr = system_.detach(parentfd, mp.name, mp.mnt_id).errnum();
    if (derr == 0) {
        ORV_LOG(Info, "Share %s is in use: detached, it ends when its last file is closed\n",
                printable(mp.path).c_str());
        removeMountDir(mp, retry);
        mp.state = MountState::Unmounted;
        releaseShare(mp.staging);
        return;
    }
    mp.state = MountState::UnmountFailed;
    ORV_LOG(Error, "Error: Failed to detach %s. Reason: %s [%d]\n", printable(mp.path).c_str(), std::strerror(derr),
            derr);
}

void MountManager::retryFailedUnmounts() {
    ORV_LOG(Debug, "Try umount\n");
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [user, mounts] : users_) {
        (void)user;
        for (auto& [folder, points] : mounts) {
            (void)folder;
            for (MountPoint& mp : points) {
                if (mp.state == MountState::UnmountFailed) unmountPoint(mp, true);
            }
            std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
        }
    }
    persistLocked();
}

void MountManager::releaseShare(const std::string& staging) {
    system_.releaseStaging(staging);
    if (!staging.empty()) {
        remove_root_davfs_copy(config_.davfs_copy_dir, staging.substr(staging.find_last_of('/') + 1));
    }
}

void MountManager::setStateStore(ShareStateStore* store) {
    std::lock_guard<std::mutex> lock(mutex_);
    store_ = store;
    persistLocked();
}

void MountManager::persistLocked() {
    std::vector<ShareRecord> records = recordsLocked();
    if (store_) store_->save(records);
    orv::notify::status(shares_status_line(records));
}

std::vector<ShareRecord> MountManager::recordsLocked() const {
    std::vector<ShareRecord> out;
    for (const auto& [user, mounts] : users_) {
        for (const auto& [folder, points] : mounts) {
            for (const MountPoint& mp : points) {
                if (mp.state == MountState::Unmounted) continue;
                out.push_back(ShareRecord{mp.mnt_id, user.pid, user.uid, user.gid, user.username, user.homedir, folder,
                                          mp.path, mp.name, mp.staging});
            }
        }
    }
    return out;
}

std::vector<ShareRecord> MountManager::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recordsLocked();
}

}  // namespace qmss
