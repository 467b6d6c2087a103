#include "socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "../service_log.h"

namespace qmss {

namespace fs = std::filesystem;

SocketServer::SocketServer(std::string path) : path_(std::move(path)) {
  service_log(kDebug, "Init socket server\n");
}

SocketServer::~SocketServer() { stop(); }

void SocketServer::cleanupSocket() {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(path_, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    service_log(kError, "Error[%d]: failed to check socket %s. Reason: %s\n", ec.value(),
                path_.c_str(), ec.message().c_str());
    return;
  }
  if (!fs::exists(st)) return;
  service_log(kDebug, "Cleanup socket %s\n", path_.c_str());
  fs::remove(path_, ec);
  if (ec) {
    service_log(kError, "Error[%d]: while removing socket %s. Reason: %s\n", ec.value(),
                path_.c_str(), ec.message().c_str());
  }
}

void SocketServer::setDataCallback(DataCallback callback) { dataCallback_ = std::move(callback); }

void SocketServer::onData(int client, const uint8_t* bytes, size_t length) {
  service_log(kDebug, "Socket server got new data - client %d, len %zu\n", client, length);
  if (dataCallback_) dataCallback_(client, bytes, length);
}

void SocketServer::onClientClosed(int) {}

void SocketServer::start() {
  running_.store(false);
  cleanupSocket();
  service_log(kDebug, "Creating Socket Server thread\n");
  thread_ = std::thread([this] { pollLoop(); });
}

void SocketServer::stop() {
  service_log(kDebug, "Stopping Socket Server thread\n");
  running_.store(false);
  if (thread_.joinable()) thread_.join();
  if (fd_ != 0) {
    close(fd_);
    fd_ = 0;
  }
  cleanupSocket();
}

static bool set_nonblocking(int fd, const char* get_msg, const char* set_msg) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    int e = errno;
    service_log(kError, get_msg, e, std::strerror(e));
    return false;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    int e = errno;
    service_log(kError, set_msg, e, std::strerror(e));
    return false;
  }
  return true;
}

bool SocketServer::setUp() {
  service_log(kDebug, "Creating socket\n");
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    service_log(kError, "Error: Failed to create socket\n");
    return false;
  }
  fd_ = fd;
  service_log(kInfo, "Initializing socket %s\n", path_.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() + 1 > sizeof addr.sun_path) {
    service_log(kError, "Error: Failed to bind socket\n");
    return false;
  }
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  service_log(kDebug, "Binding socket %s\n", path_.c_str());
  // Every local user's agent must be able to connect: the socket file gets
  // mode 0777 (peers are authenticated by their credentials instead). The
  // mode is set on the file after the bind rather than by clearing the
  // process-wide umask around it: another thread (the shared-memory
  // endpoint creating its object) may change the umask at the same moment,
  // which would leave the socket closed to users or the umask cleared.
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    service_log(kError, "Error: Failed to bind socket\n");
    return false;
  }
  if (chmod(path_.c_str(), 0777) != 0) {
    int e = errno;
    service_log(kError, "Error[%d] while setting socket permissions %s: %s\n", e, path_.c_str(),
                std::strerror(e));
  }
  if (!set_nonblocking(fd, "Error[%d] while getting socket flags: %s\n",
                       "Error[%d] while setting socket flags: %s\n")) {
    return false;
  }
  service_log(kDebug, "Listening socket %s\n", path_.c_str());
  if (listen(fd, 5) != 0) {
    service_log(kError, "Error: Failed to listen to socket\n");
    return false;
  }
  return true;
}

void SocketServer::pollLoop() {
  service_log(kDebug, "Starting thread socket server\n");
  running_.store(true);
  if (!setUp()) {
    running_.store(false);
    return;
  }
  std::vector<pollfd> watch{{fd_, POLLIN, 0}};
  auto drop_client = [&](size_t& i) {
    int client = watch[i].fd;
    close(client);
    watch.erase(watch.begin() + static_cast<std::ptrdiff_t>(i));
    onClientClosed(client);
    service_log(kDebug, "now_client_num: %u\n", static_cast<unsigned>(watch.size() - 1));
  };
  while (running_.load()) {
    int n = poll(watch.data(), watch.size(), 1000);
    if (n < 0) {
      if (errno == EINTR) continue;
      service_log(kError, "Error: Failed to poll socket\n");
      running_.store(false);
      break;
    }
    if (n == 0) continue;
    size_t end = watch.size();
    for (size_t i = 0; i < end && i < watch.size();) {
      pollfd& p = watch[i];
      bool listening = p.fd == fd_;
      if (p.revents & POLLIN) {
        if (listening) {
          sockaddr_un peer{};
          socklen_t len = sizeof peer;
          int c = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
          if (c < 0) {
            service_log(kError, "Error: Failed to accept socket\n");
          } else if (!set_nonblocking(c, "Error[%d] while getting accepted socket flags: %s\n",
                                      "Error[%d] while setting accepted socket flags: %s\n")) {
            close(c);
          } else {
            service_log(kInfo, "Accept socket, client %d connected\n", c);
            watch.push_back({c, POLLIN, 0});
            service_log(kDebug, "now_client_num: %u\n", static_cast<unsigned>(watch.size() - 1));
          }
          ++i;
          continue;
        }
        uint8_t buf[4096];
        ssize_t r = read(p.fd, buf, sizeof buf);
        if (r > 0) {
          service_log(kDebug, "Client [%d] message len : %d\n", p.fd, static_cast<int>(r));
          onData(p.fd, buf, static_cast<size_t>(r));
          ++i;
          continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
          ++i;
          continue;
        }
        service_log(kInfo, "Client [%d] disconnected. Reason: read error - %s\n", p.fd,
                    std::strerror(errno));
        drop_client(i);
        --end;
        continue;
      }
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        if (listening) {
          service_log(kError, "Listen socket error\n");
          running_.store(false);
          ++i;
          continue;
        }
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        service_log(kWarning, "Client [%d] disconnected cause of error - %s\n", p.fd,
                    std::strerror(err));
        drop_client(i);
        --end;
        continue;
      }
      ++i;
    }
  }
  service_log(kDebug, "Stopping Socket Server thread\n");
  // Clients still connected are closed here: nobody serves them any more.
  for (size_t i = 1; i < watch.size(); ++i) {
    close(watch[i].fd);
    onClientClosed(watch[i].fd);
  }
  if (fd_ != 0) {
    close(fd_);
    fd_ = 0;
  }
  cleanupSocket();
}

}  // namespace qmss
