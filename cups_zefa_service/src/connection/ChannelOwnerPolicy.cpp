#include "connection/ChannelOwnerPolicy.h"

#include <algorithm>

#include <runtime/Log.h>

namespace czs {

namespace {
constexpr const char* kLogTag = "ChannelOwnerPolicy";
}

ChannelOwnerPolicy::ChannelOwnerPolicy(std::shared_ptr<const orv::SeatSessions> seats, std::vector<uid_t> trusted)
    : seats_(std::move(seats)), trusted_(std::move(trusted)), logind_(seats_ && seats_->available()) {
    if (!logind_) {
        ORV_LOG(Info, "logind does not run here: trusting channel objects of root and configured owners only\n");
    }
}

std::string ChannelOwnerPolicy::refusal(uid_t owner) const {
    if (owner == 0 || std::find(trusted_.begin(), trusted_.end(), owner) != trusted_.end()) {
        return {};
    }
    if (logind_) {
        const std::vector<uid_t> users = seats_->activeSeatUsers();
        if (std::find(users.begin(), users.end(), owner) != users.end()) {
            return {};
        }
        return "owner uid " + std::to_string(owner) +
               " is neither root, nor the user of the active seat session, nor a configured owner";
    }
    return "owner uid " + std::to_string(owner) + " is neither root nor a configured owner (no logind)";
}

}  // namespace czs
