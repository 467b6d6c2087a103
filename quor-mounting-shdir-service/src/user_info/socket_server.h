// A Unix stream socket server served by one poll thread: it accepts clients,
// reads what they send and hands each read to onData.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace qmss {

class SocketServer {
 public:
  using DataCallback = std::function<void(int client, const uint8_t* bytes, size_t length)>;

  explicit SocketServer(std::string path);
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;
  virtual ~SocketServer();

  // Removes a socket file left by an earlier run.
  virtual void cleanupSocket();
  virtual void setDataCallback(DataCallback callback);
  virtual void onData(int client, const uint8_t* bytes, size_t length);
  // Called on the poll thread when a client's connection has been closed, so
  // per-connection state never leaks into a later connection that gets the
  // same descriptor number.
  virtual void onClientClosed(int client);

  void start();
  // Stops the poll thread (within one poll period), closes the listening
  // socket and removes the socket file. Safe to call more than once.
  void stop();

  bool running() const { return running_.load(); }
  const std::string& path() const { return path_; }

 private:
  void pollLoop();
  bool setUp();

  std::thread thread_;
  std::atomic<bool> running_{false};
  std::string path_;
  int fd_ = 0;
  DataCallback dataCallback_;
};

}  // namespace qmss
