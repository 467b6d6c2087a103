// Requests from the host, decoded and carried out by the manager with a
// stand-in for mount/umount: nothing may crash, and every mount point the
// manager records must lie inside the user's home.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzCommon.h"
#include "mount/MountManager.h"

namespace {

class ScriptedSystem : public qmss::MountSystem {
public:
    int result = 0;
    int runCommand(const std::vector<std::string>&, std::chrono::milliseconds) override { return result; }
    std::string makeStaging(uid_t, const std::string&) override { return "/staging"; }
    void dropStaging(const std::string&) override {}
    orv::Result<uint64_t> moveMount(const std::string&, int, int, const std::string&) override { return uint64_t{1}; }
    orv::Result<void> unmount(int, const std::string&, uint64_t, bool force) override {
        if (result == 0 || force) return {};
        return orv::Error::fromErrno(EBUSY);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qmss;
    fuzz::quiet_logs();
    static const std::string home = fuzz::fresh_dir();
    static ScriptedSystem sys;
    static const ServiceConfig config = [] {
        ServiceConfig c;
        c.davfs_copy_dir = fuzz::fresh_dir() + "/root-copy";
        return c;
    }();
    static MountManager manager(config, sys, [](const ServiceConfig&, const std::string& homedir, int) {
        return homedir + "/.davfs2/davfs2_orvanta.conf";
    });
    static bool user = false;
    if (size == 0) return 0;
    // First byte: whether a user is known yet, and how the system answers.
    if ((data[0] & 1) && !user) {
        manager.onUserInfo(UserInfo{"fuzz", home, 1, 0, 0});
        user = true;
    }
    sys.result = (data[0] & 2) ? 1 : 0;
    manager.onShmData(std::span<const uint8_t>(data, size).subspan(1));
    manager.retryFailedUnmounts();
    for (const auto& [u, mounts] : manager.usersTable()) {
        (void)u;
        for (const auto& [folder, points] : mounts) {
            (void)folder;
            for (const auto& mp : points) {
                fuzz::require(mp.path.compare(0, home.size() + 1, home + "/") == 0, "mount point inside home");
                fuzz::require(mp.path.find("/../") == std::string::npos, "no climbing out");
            }
        }
    }
    // Unmount everything so the next input starts from an empty mount base.
    sys.result = 0;
    manager.handleFolderRequest(FolderRequest{"", 2});
    return 0;
}
