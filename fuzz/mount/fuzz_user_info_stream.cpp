// The per-user agent's byte stream, cut into arbitrary deliveries: every
// record handed on must come from a complete 8-byte record.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_common.h"
#include "user_info/user_info_collector.h"

namespace {

class Collector : public qmss::UserInfoCollectorServer {
 public:
  Collector()
      : UserInfoCollectorServer("/nonexistent/fuzz.socket", [](uint32_t uid) -> std::optional<qmss::PasswdEntry> {
          if (uid % 3 == 0) return std::nullopt;
          if (uid % 3 == 1) return qmss::PasswdEntry{"u", "/", uid, uid};
          return qmss::PasswdEntry{"", "", uid, uid};
        }) {}
  std::optional<uid_t> peerUid(int client) override {
    if (client == 1) return std::nullopt;
    return client == 2 ? 0u : 1000u;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qmss::fuzz::quiet_logs();
  Collector c;
  size_t delivered = 0;
  size_t total[4] = {0, 0, 0, 0};
  c.setUserInfoCallback([&](const qmss::UserInfo& u) {
    qmss::fuzz::require(u.pid != 0 && !u.username.empty(), "only valid records");
    ++delivered;
  });
  // Each step: one byte picks the client (0..3) and a length, then the bytes.
  size_t off = 0;
  while (off < size) {
    int client = data[off] & 3;
    size_t len = std::min<size_t>(data[off] >> 2, size - off - 1);
    ++off;
    c.onData(client, data + off, len);
    total[client] += len;
    off += len;
    if (client == 3 && len == 0) c.onClientClosed(3);
  }
  qmss::fuzz::require(delivered <= (total[0] + total[1] + total[2] + total[3]) / 8, "no record from nothing");
  return 0;
}
