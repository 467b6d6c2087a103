// Records from senders of every kind, as the collector judges them: only
// valid records from a sender allowed to speak for that uid are handed on,
// and the pid handed on is always the sender's.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "FuzzCommon.h"
#include "runtime/SeatSessions.h"
#include "user_info/UserInfoCollector.h"

namespace {

// logind runs; the active seat session is pid 4000 of uid 1000.
struct Seats : orv::SeatSessions {
    bool available() const override { return true; }
    bool isActiveSeatSession(pid_t pid, uid_t uid) const override { return pid == 4000 && uid == 1000; }
    std::vector<uid_t> activeSeatUsers() const override { return {1000}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qmss::fuzz::quiet_logs();
    qmss::UserInfoCollectorServer c(
        "/nonexistent/fuzz.socket",
        [](uint32_t uid) -> std::optional<qmss::PasswdEntry> {
            if (uid % 3 == 0) return std::nullopt;
            if (uid % 3 == 1) return qmss::PasswdEntry{"u", "/", uid, uid};
            return qmss::PasswdEntry{"", "", uid, uid};
        },
        std::make_shared<Seats>());
    orv::PeerCredentials sender;
    size_t delivered = 0;
    c.setUserInfoCallback([&](const qmss::UserInfo& u) {
        qmss::fuzz::require(u.pid == sender.pid && !u.username.empty(), "only valid records, with the sender's pid");
        qmss::fuzz::require(sender.uid == 0 || (sender.uid == 1000 && sender.pid == 4000),
                            "only root or the seat session's user");
        ++delivered;
    });
    // Each step: one byte picks the sender, then an 8-byte record.
    size_t records = 0;
    for (size_t off = 0; off + 9 <= size; off += 9, ++records) {
        switch (data[off] & 3) {
            case 0:
                sender = orv::PeerCredentials{};
                break;
            case 1:
                sender = {true, 1, 0, 0};
                break;
            case 2:
                sender = {true, 4000, 1000, 1000};
                break;
            default:
                sender = {true, 5000, 1001, 1001};
                break;
        }
        c.onRecord(sender, 5,
                   std::span<const uint8_t, qmss::kUserInfoRecordSize>(data + off + 1, qmss::kUserInfoRecordSize));
    }
    qmss::fuzz::require(delivered <= records, "no record from nothing");
    return 0;
}
