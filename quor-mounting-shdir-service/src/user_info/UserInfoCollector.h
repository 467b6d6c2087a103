// The socket server that learns who is logged in: per-user agents connect to
// a Unix socket every local user can reach and send 8-byte {pid, uid}
// records. A record is believed only from a sender the kernel vouches for
// (SO_PEERCRED): root, or the user of the active session on a seat (logind),
// or, where logind does not run, a user speaking about itself. The pid kept
// is the sender's, never the one in the record.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/LoopThread.h"
#include "runtime/SeatSessions.h"
#include "runtime/StreamServer.h"
#include "user_info/UserInfo.h"

namespace qmss {

inline constexpr const char* kUserInfoSocketPath = "/tmp/quor-sharing-dir-mounting.socket";

// How much of the socket one local user can take.
struct UserInfoLimits {
    // Agents connected at once; at the cap the longest idle one makes room.
    size_t maxClients = 64;
    // Connections one (non-root) uid may hold; its oldest idle one makes room.
    size_t maxClientsPerUid = 4;
    // A record that has begun must be complete within this.
    std::chrono::milliseconds recordDeadline{5000};
    // A bind that fails (the path is held by someone else) is tried again this often.
    std::chrono::milliseconds rebindInterval{5000};
};

class UserInfoCollectorServer : private orv::StreamHandler {
public:
    using UserInfoCallback = std::function<void(const UserInfo&)>;

    /// Nothing is opened yet. `seats` answers who sits at the machine; null
    /// means logind through sd-login.
    explicit UserInfoCollectorServer(std::string path = kUserInfoSocketPath, PasswdLookup lookup = system_passwd_lookup,
                                     std::shared_ptr<const orv::SeatSessions> seats = nullptr,
                                     UserInfoLimits limits = UserInfoLimits{});
    /// Stops first.
    ~UserInfoCollectorServer() override;
    UserInfoCollectorServer(const UserInfoCollectorServer&) = delete;
    UserInfoCollectorServer& operator=(const UserInfoCollectorServer&) = delete;

    /// Install before start(); called on the server's thread for each record
    /// believed, in arrival order.
    void setUserInfoCallback(UserInfoCallback callback);
    /// Puts the socket at the path (recovering the path from whatever a user
    /// left there) and serves it on a thread of its own. A failed bind is
    /// retried on that thread. Once only.
    void start();
    /// Stops serving, closes every client and removes the socket file if it
    /// is still ours. Safe before start, during it, and more than once.
    void stop();
    /// Whether the socket is bound and served.
    bool running() const { return bound_.load(); }
    /// Clients connected now. Safe from any thread.
    size_t clientCount() const { return clients_.load(); }
    /// Bytes read from clients since construction, whole records or not.
    /// Safe from any thread.
    uint64_t bytesReceived() const { return bytesReceived_.load(); }
    /// Binds that have failed since start(); the count stays once a bind
    /// succeeds. Safe from any thread.
    unsigned bindFailures() const { return bindFailures_.load(); }
    const std::string& path() const { return path_; }

    /// Judges one record from `peer` (connection `client`, for log lines) and
    /// hands it on. Runs on the server's thread; public for tests and fuzzing.
    void onRecord(const orv::PeerCredentials& peer, int client, std::span<const uint8_t, kUserInfoRecordSize> record);

private:
    void bindAndServe();
    void onAccepted(orv::StreamSession& session) override;
    void onRead(orv::StreamSession& session, const std::error_code& ec, size_t n) override;
    void onUnit(orv::StreamSession& session, std::span<const uint8_t> unit) override;
    void onPartial(orv::StreamSession& session, size_t n) override;
    void onClosed(orv::StreamSession& session, orv::CloseReason reason, const std::error_code& ec) override;

    std::string path_;
    PasswdLookup lookup_;
    std::shared_ptr<const orv::SeatSessions> seats_;
    UserInfoLimits limits_;
    bool logind_ = false;
    UserInfoCallback userInfoCallback_;
    orv::LoopThread loop_;
    orv::StreamServer server_;
    asio::steady_timer rebind_;
    std::atomic<unsigned> bindFailures_{0};
    std::atomic<size_t> clients_{0};
    std::atomic<uint64_t> bytesReceived_{0};
    bool started_ = false;
    std::atomic<bool> bound_{false};
};

}  // namespace qmss
