#include "mount/ServiceStop.h"

#include "LogText.h"

namespace qmss {

size_t adopt_recorded_shares(MountManager& manager, ShareStateStore& store, const std::string& mountinfo) {
    std::vector<ShareRecord> recorded = store.load();
    size_t adopted = recorded.empty() ? 0 : manager.adopt(recorded, read_mountinfo(mountinfo));
    if (!recorded.empty()) {
        ORV_LOG(Info, "Adopted %zu of %zu shares left by the previous instance\n", adopted, recorded.size());
    }
    manager.setStateStore(&store);
    return adopted;
}

StopKind end_shares_at_stop(MountManager& manager, StopProbe& probe, const ServiceConfig& config) {
    size_t mounted = manager.records().size();
    StopKind kind = decide_stop(probe.pendingJobType());
    if (kind == StopKind::Restart) {
        // The state file already holds every share; the next instance adopts
        // them and the user keeps working in them meanwhile.
        ORV_LOG(Info, "Restart: %zu shares stay mounted for the next instance\n", mounted);
        return kind;
    }
    ORV_LOG(Info, "Stop: unmounting %zu shares\n", mounted);
    size_t ended =
        manager.endShares([](const UserInfo&) { return true; }, std::chrono::seconds(config.unmount_upload_timeout));
    ORV_LOG(Info, "Stop: %zu of %zu shares unmounted\n", ended, mounted);
    return kind;
}

}  // namespace qmss
