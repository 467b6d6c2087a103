#include "user_info_collector.h"

#include <sys/socket.h>

#include <cstring>

#include "../service_log.h"

namespace qmss {

UserInfoCollectorClient::UserInfoCollectorClient(int c) : client(c) { buffer.reserve(1024); }

UserInfoCollectorServer::UserInfoCollectorServer(std::string path, PasswdLookup lookup)
    : SocketServer(std::move(path)), lookup_(std::move(lookup)) {}

UserInfoCollectorServer::~UserInfoCollectorServer() {
  // The poll thread calls onData on this object: it must be gone before the
  // members it uses are.
  stop();
}

void UserInfoCollectorServer::setUserInfoCallback(UserInfoCallback callback) {
  userInfoCallback_ = std::move(callback);
}

void UserInfoCollectorServer::onClientClosed(int client) { clients_.erase(client); }

std::optional<uid_t> UserInfoCollectorServer::peerUid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    return std::nullopt;
  }
  return cred.uid;
}

void UserInfoCollectorServer::onData(int client, const uint8_t* bytes, size_t length) {
  service_log(kDebug, "User info collector server got new data, client %d, len %zu\n", client,
              length);
  auto it = clients_.find(client);
  if (it == clients_.end()) {
    it = clients_.emplace(client, UserInfoCollectorClient(client)).first;
    it->second.peer_uid = peerUid(client);
  }
  UserInfoCollectorClient& c = it->second;
  c.buffer.insert(c.buffer.end(), bytes, bytes + length);
  parse(c, length);
  if (userInfoCallback_) {
    while (!c.queue.empty()) {
      UserInfo info = std::move(c.queue.front());
      c.queue.pop_front();
      service_log(kDebug, "UserInfoCollectorServer - %s %s %d\n", info.username.c_str(),
                  info.homedir.c_str(), info.pid);
      userInfoCallback_(info);
    }
  } else {
    service_log(kWarning, "User info collector server has no callback to process new message\n");
    c.queue.clear();
  }
}

void UserInfoCollectorServer::parse(UserInfoCollectorClient& c, size_t delivered) {
  if (c.buffer.size() < kUserInfoRecordSize) {
    service_log(kDebug, "Wait for more data - client %d, len %zu\n", c.client, delivered);
    return;
  }
  size_t off = 0;
  for (; c.buffer.size() - off >= kUserInfoRecordSize; off += kUserInfoRecordSize) {
    const uint8_t* rec = c.buffer.data() + off;
    uint32_t claimed = 0;
    std::memcpy(&claimed, rec + 4, sizeof claimed);
    // The socket is open to every local user: only root or the user itself
    // may say who is logged in, or anyone could have another user's shared
    // folders mounted into their own home.
    if (!c.peer_uid || (*c.peer_uid != 0 && *c.peer_uid != claimed)) {
      if (c.peer_uid) {
        service_log(kError, "Error: user info from uid %u claims uid %u, dropped\n",
                    static_cast<unsigned>(*c.peer_uid), static_cast<unsigned>(claimed));
      } else {
        service_log(kError, "Error: user info from client %d without credentials, dropped\n",
                    c.client);
      }
      continue;
    }
    std::optional<UserInfo> info = parse_user_info(rec, lookup_);
    if (!info) continue;
    service_log(kDebug, "UserInfoCollectorClient - %s %s %d\n", info->username.c_str(),
                info->homedir.c_str(), info->pid);
    c.queue.push_back(std::move(*info));
  }
  c.buffer.erase(c.buffer.begin(), c.buffer.begin() + static_cast<std::ptrdiff_t>(off));
}

}  // namespace qmss
