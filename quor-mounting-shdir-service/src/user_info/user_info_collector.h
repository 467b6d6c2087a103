// The socket server that learns who is logged in: it cuts each client's byte
// stream into 8-byte {pid, uid} records and hands every valid one on.
#pragma once

#include <sys/types.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "socket_server.h"
#include "user_info.h"

namespace qmss {

inline constexpr const char* kUserInfoSocketPath = "/tmp/quor-sharing-dir-mounting.socket";

class UserInfoCollectorClient {
 public:
  explicit UserInfoCollectorClient(int client);
  virtual ~UserInfoCollectorClient() = default;

  int client;
  std::vector<uint8_t> buffer;
  std::deque<UserInfo> queue;
  // Credentials of the connected process; absent when they could not be read.
  std::optional<uid_t> peer_uid;
};

class UserInfoCollectorServer : public SocketServer {
 public:
  using UserInfoCallback = std::function<void(const UserInfo&)>;

  explicit UserInfoCollectorServer(std::string path = kUserInfoSocketPath,
                                   PasswdLookup lookup = system_passwd_lookup);
  ~UserInfoCollectorServer() override;

  void setUserInfoCallback(UserInfoCallback callback);
  void onData(int client, const uint8_t* bytes, size_t length) override;
  void onClientClosed(int client) override;

 protected:
  // The connected process's uid (SO_PEERCRED); nothing when unreadable.
  virtual std::optional<uid_t> peerUid(int client);

 private:
  void parse(UserInfoCollectorClient& c, size_t delivered);

  std::unordered_map<int, UserInfoCollectorClient> clients_;
  UserInfoCallback userInfoCallback_;
  PasswdLookup lookup_;
};

}  // namespace qmss
