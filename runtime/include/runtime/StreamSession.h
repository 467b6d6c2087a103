// One client connection of a StreamServer: reads units, hands them to the
// server's handler, writes the answers owed in order, and enforces the unit
// and answer deadlines. Used on the server's loop thread only.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "runtime/Answer.h"
#include "runtime/StreamHandler.h"

namespace orv {

class StreamServer;

/// One client's connection. Owned by the server while open; kept alive by
/// outstanding Answers after that.
class StreamSession : public std::enable_shared_from_this<StreamSession> {
public:
    using Socket = asio::generic::stream_protocol::socket;

    /// Made by the server for an admitted client; does not read until the
    /// server starts it.
    StreamSession(StreamServer& server, Socket socket, uint64_t id, PeerCredentials peer);
    /// Releases the socket and timer (closed by then, or by the server).
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    /// A number unique for the server's life.
    uint64_t id() const noexcept { return id_; }
    /// The connection's descriptor number (for log lines); -1 once closed.
    int fd() const noexcept { return fd_; }
    /// The client's credentials as taken at accept (unknown for TCP).
    const PeerCredentials& peer() const noexcept { return peer_; }
    /// Bytes of an unfinished unit held for this client.
    std::size_t buffered() const noexcept { return in_.size(); }
    /// Whether the connection has ended; a closed session reads no more.
    bool closed() const noexcept { return closed_; }

    /// Promises an answer for the unit being handled; the client is busy
    /// (no unit deadline, bounded by the answer deadline) until it is sent or
    /// dropped. Only inside onUnit.
    Answer defer();
    /// Ends the connection now (answers still owed are given up).
    void close();

private:
    friend class StreamServer;
    friend class Answer;
    struct Slot {
        bool resolved = false;
        std::string bytes;
    };

    void begin();
    void startRead();
    void onRead(const std::error_code& ec, std::size_t n);
    void deliverUnits(std::size_t justRead);
    void inputEnded();
    void resolve(uint64_t slot, std::optional<std::string> bytes);
    void startWrite();
    void maybeFinish();
    void armUnitDeadline();
    void armAnswerDeadline();
    void shut(CloseReason reason, const std::error_code& ec = {});
    bool idle() const noexcept { return owed_ == 0; }

    StreamServer* server_;
    Socket socket_;
    asio::steady_timer timer_;
    uint64_t id_;
    int fd_;
    PeerCredentials peer_;
    std::vector<uint8_t> in_;
    std::array<uint8_t, 4096> readBuf_{};
    bool reading_ = false;
    bool readPaused_ = false;
    bool inputDone_ = false;
    bool closed_ = false;
    bool writing_ = false;
    bool inUnit_ = false;
    uint64_t timerGen_ = 0;
    bool unitArmed_ = false;
    std::deque<Slot> slots_;
    uint64_t firstSlot_ = 0;
    std::size_t owed_ = 0;
    std::deque<std::string> writes_;
    std::chrono::steady_clock::time_point lastActive_;
    std::shared_ptr<AnswerLink> link_;
};

}  // namespace orv
