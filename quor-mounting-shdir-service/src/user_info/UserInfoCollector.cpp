#include "user_info/UserInfoCollector.h"

#include <cstring>

#include "LogText.h"

namespace qmss {

namespace {

orv::StreamServerOptions serverOptions(const UserInfoLimits& limits) {
    orv::StreamServerOptions o;
    o.framing = orv::StreamServerOptions::Framing::Record;
    o.recordSize = kUserInfoRecordSize;
    o.maxClients = limits.maxClients;
    o.maxClientsPerUid = limits.maxClientsPerUid;
    o.unitDeadline = limits.recordDeadline;
    // An agent may keep its connection for the whole session.
    o.idleIsFree = true;
    o.unixMode = 0777;  // every user's agent must reach it; senders are judged by credentials
    return o;
}

}  // namespace

UserInfoCollectorServer::UserInfoCollectorServer(std::string path, PasswdLookup lookup,
                                                 std::shared_ptr<const orv::SeatSessions> seats, UserInfoLimits limits)
    : path_(std::move(path)),
      lookup_(std::move(lookup)),
      seats_(seats ? std::move(seats) : std::shared_ptr<const orv::SeatSessions>(orv::makeLogindSeatSessions())),
      limits_(limits),
      server_(loop_.io(), *this, serverOptions(limits)),
      rebind_(loop_.io()) {
    // Asked once: whether logind runs does not change under a running service.
    logind_ = seats_->available();
    ORV_LOG(Debug, "Init socket server\n");
}

UserInfoCollectorServer::~UserInfoCollectorServer() {
    // The server's thread calls into this object: it must be gone before the
    // members it uses are.
    stop();
}

void UserInfoCollectorServer::setUserInfoCallback(UserInfoCallback callback) {
    userInfoCallback_ = std::move(callback);
}

void UserInfoCollectorServer::start() {
    if (started_) return;
    started_ = true;
    if (!logind_) {
        ORV_LOG(Warning, "logind is not running: user info is taken from root, or from a user about itself\n");
    }
    ORV_LOG(Debug, "Creating Socket Server thread\n");
    asio::post(loop_.io(), [this] {
        ORV_LOG(Debug, "Starting thread socket server\n");
        bindAndServe();
    });
    loop_.start();
}

void UserInfoCollectorServer::bindAndServe() {
    ORV_LOG(Info, "Initializing socket %s\n", path_.c_str());
    ORV_LOG(Debug, "Binding socket %s\n", path_.c_str());
    if (orv::Result<void> listening = server_.listenUnix(path_); !listening) {
        const std::error_code ec = listening.error();
        // Logged in full once; a path that stays taken is tried again quietly.
        if (bindFailures_ == 0) {
            ORV_LOG(Error, "Error: Failed to bind socket\n");
            ORV_LOG(Error, "Error[%d]: while binding %s. %s\n", ec.value(), path_.c_str(), ec.message().c_str());
        } else {
            ORV_LOG(Debug, "Binding socket %s failed again: %s\n", path_.c_str(), ec.message().c_str());
        }
        // Counted after the lines, so a reader that sees the count sees them too.
        ++bindFailures_;
        rebind_.expires_after(limits_.rebindInterval);
        rebind_.async_wait([this](const std::error_code& tec) {
            if (!tec) bindAndServe();
        });
        return;
    }
    if (bindFailures_ > 0) {
        ORV_LOG(Info, "Socket %s bound after %u failed attempts\n", path_.c_str(), bindFailures_.load());
    }
    ORV_LOG(Debug, "Listening socket %s\n", path_.c_str());
    server_.start();
    bound_ = true;
}

void UserInfoCollectorServer::stop() {
    ORV_LOG(Debug, "Stopping Socket Server thread\n");
    loop_.stop([this] {
        rebind_.cancel();
        server_.stop();
    });
    // Whether or not the thread ran: nothing is served any more.
    server_.stop();
    clients_ = 0;
    bound_ = false;
}

void UserInfoCollectorServer::onAccepted(orv::StreamSession& session) {
    clients_ = server_.clientCount();
    ORV_LOG(Info, "Accept socket, client %d connected\n", session.fd());
    ORV_LOG(Debug, "now_client_num: %u\n", static_cast<unsigned>(server_.clientCount()));
}

void UserInfoCollectorServer::onRead(orv::StreamSession& session, const std::error_code& ec, size_t n) {
    if (ec || n == 0) return;
    bytesReceived_ += n;
    ORV_LOG(Debug, "Client [%d] message len : %d\n", session.fd(), static_cast<int>(n));
    ORV_LOG(Debug, "Socket server got new data - client %d, len %zu\n", session.fd(), n);
    ORV_LOG(Debug, "User info collector server got new data, client %d, len %zu\n", session.fd(), n);
}

void UserInfoCollectorServer::onPartial(orv::StreamSession& session, size_t n) {
    ORV_LOG(Debug, "Wait for more data - client %d, len %zu\n", session.fd(), n);
}

void UserInfoCollectorServer::onUnit(orv::StreamSession& session, std::span<const uint8_t> unit) {
    if (unit.size() != kUserInfoRecordSize) return;
    onRecord(session.peer(), session.fd(), unit.first<kUserInfoRecordSize>());
}

void UserInfoCollectorServer::onClosed(orv::StreamSession& session, orv::CloseReason reason,
                                       const std::error_code& ec) {
    if (reason == orv::CloseReason::PeerClosed || reason == orv::CloseReason::ReadError) {
        ORV_LOG(Info, "Client [%d] disconnected. Reason: read error - %s\n", session.fd(),
                ec ? ec.message().c_str() : "end of stream");
    } else if (reason == orv::CloseReason::Shed) {
        // Counted by the server's own (rate-limited) line; one per client would
        // let a flood of connections flood the log.
        ORV_LOG(Debug, "Client [%d] disconnected cause of error - %s\n", session.fd(), orv::closeReasonText(reason));
    } else {
        ORV_LOG(Warning, "Client [%d] disconnected cause of error - %s\n", session.fd(), orv::closeReasonText(reason));
    }
    clients_ = server_.clientCount();
    ORV_LOG(Debug, "now_client_num: %u\n", static_cast<unsigned>(server_.clientCount()));
}

void UserInfoCollectorServer::onRecord(const orv::PeerCredentials& peer, int client,
                                       std::span<const uint8_t, kUserInfoRecordSize> record) {
    uint32_t claimed = 0;
    std::memcpy(&claimed, record.subspan<4, 4>().data(), sizeof claimed);
    if (!peer.known) {
        ORV_LOG(Error, "Error: user info from client %d without credentials, dropped\n", client);
        return;
    }
    if (peer.uid != 0) {
        // The socket is open to every local user: only root or the user itself
        // may say who is logged in, or anyone could have another user's shared
        // folders mounted into their own home.
        if (peer.uid != claimed) {
            ORV_LOG(Error, "Error: user info from uid %u claims uid %u, dropped\n", static_cast<unsigned>(peer.uid),
                    static_cast<unsigned>(claimed));
            return;
        }
        // And of the users, only the one at the desktop: a second user logged in
        // over ssh must not become the one whose folders are mounted.
        if (logind_ && !seats_->isActiveSeatSession(peer.pid, peer.uid)) {
            ORV_LOG(Error, "Error: user info from uid %u pid %d refused: not the active session of a seat\n",
                    static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
            return;
        }
    }
    std::optional<UserInfo> info = parse_user_info(record, lookup_);
    if (!info) return;
    // The kernel's word for the sender, not the record's.
    info->pid = static_cast<int32_t>(peer.pid);
    ORV_LOG(Debug, "UserInfoCollectorClient - %s %s %d\n", printable(info->username).c_str(),
            printable(info->homedir).c_str(), info->pid);
    if (!userInfoCallback_) {
        ORV_LOG(Warning, "User info collector server has no callback to process new message\n");
        return;
    }
    ORV_LOG(Debug, "UserInfoCollectorServer - %s %s %d\n", printable(info->username).c_str(),
            printable(info->homedir).c_str(), info->pid);
    userInfoCallback_(*info);
}

}  // namespace qmss
