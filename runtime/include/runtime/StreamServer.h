// The stream-socket server both daemons put in front of local peers they do
// not trust: the print daemon's backend port (TCP on loopback) and the mount
// service's user-info socket (Unix). Every local user can connect to either,
// so the server bounds what one of them can hold: a cap on clients (and on
// clients of one uid), a deadline for each complete unit (a line or a
// fixed-size record), a bound on how long an answer may keep a client, and
// an accept loop that backs off instead of spinning when descriptors run out.
//
// Runs on one asio::io_context: every handler call and every member function
// (except Answer::send and ~Answer) runs on the thread that runs it.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "runtime/UniqueFd.h"
#include "runtime/UnixSocketPath.h"

namespace orv {

/// Who is on the other end of a Unix connection (SO_PEERCRED, taken when the
/// connection was accepted). Unknown for TCP peers.
struct PeerCredentials {
    bool known = false;
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

/// Why a client's connection ended.
enum class CloseReason {
    PeerClosed,      ///< end of file (and every answer owed was written or given up)
    ReadError,       ///< a read failed
    WriteError,      ///< writing an answer failed (the peer went away)
    UnitDeadline,    ///< no complete unit within the unit deadline
    AnswerDeadline,  ///< an answer owed to the client took longer than its bound
    TooLong,         ///< a line grew past the longest allowed
    Shed,            ///< an idle client made room for a new one at the cap
    ByHandler,       ///< the handler closed it
    ServerStopped,   ///< the server stopped
};
const char* closeReasonText(CloseReason reason) noexcept;

class StreamServer;
class StreamSession;

/// What an Answer knows of its client: where to post, and whether the client
/// is still open. Shared so that an answer never keeps a session (and its
/// socket and timer) alive past the loop it belongs to.
struct AnswerLink {
    std::mutex mu;
    bool open = true;
    std::weak_ptr<StreamSession> session;
    asio::any_io_executor executor;
};

/// One answer a client is owed for one unit, in the order the units came.
/// Move-only. May be sent, or dropped, from any thread: the bytes are written
/// on the server's loop after every earlier answer of that client. Dropped
/// without send(), the client is owed nothing for that unit. Once the client
/// is closed or the server stopped, sending or dropping does nothing, so an
/// answer may outlive its server and loop.
class Answer {
public:
    Answer() noexcept = default;
    Answer(Answer&&) noexcept = default;
    Answer& operator=(Answer&& other) noexcept;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;
    ~Answer();

    /// Queues `bytes` for the client (empty bytes: nothing to write). Once;
    /// later calls do nothing. Not to be called on one Answer from two
    /// threads at the same time.
    void send(std::string bytes);
    /// Whether this still owes its client an answer.
    explicit operator bool() const noexcept { return link_ != nullptr; }

private:
    friend class StreamSession;
    Answer(std::shared_ptr<AnswerLink> link, uint64_t slot) noexcept : link_(std::move(link)), slot_(slot) {}
    void resolve(std::optional<std::string> bytes);

    std::shared_ptr<AnswerLink> link_;
    uint64_t slot_ = 0;
};

/// What the server reports to its user. Called on the loop thread.
class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    /// A client was admitted (its credentials are known by now).
    virtual void onAccepted(StreamSession&) {}
    /// Every read completion, failed ones included (for the caller's log).
    virtual void onRead(StreamSession&, const std::error_code&, std::size_t) {}
    /// One complete unit: a line with its newline, or one record. The bytes
    /// are valid for the call only.
    virtual void onUnit(StreamSession& session, const uint8_t* data, std::size_t size) = 0;
    /// A read that completed no unit; `size` is what that read brought.
    virtual void onPartial(StreamSession&, std::size_t) {}
    /// The connection ended; `ec` is set for read and write errors.
    virtual void onClosed(StreamSession&, CloseReason, const std::error_code&) {}
};

struct StreamServerOptions {
    enum class Framing { Line, Record };
    Framing framing = Framing::Line;
    /// Record size for Framing::Record.
    std::size_t recordSize = 8;
    /// Longest line, newline included; a client whose line grows past it is dropped.
    std::size_t maxLine = 1024 * 1024;
    /// Clients served at once. At the cap, the client that has been idle
    /// longest makes room; when every client is busy, the new one is closed.
    std::size_t maxClients = 16;
    /// Clients one uid may hold at once over a Unix socket (0: no limit; root
    /// is never limited). Keeps one user from taking every slot.
    std::size_t maxClientsPerUid = 0;
    /// Time a client has for each complete unit, from its connection or the
    /// end of its previous unit's answer.
    std::chrono::milliseconds unitDeadline{5000};
    /// When set, the unit deadline runs only while a unit is under way (its
    /// first byte has come): a client that has sent nothing, or only whole
    /// units, may stay connected, holding just its slot, which the caps can
    /// take back. For peers that keep a connection open for a whole session.
    bool idleIsFree = false;
    /// Time an answer may keep a client waiting; past it the client is closed.
    std::chrono::milliseconds answerDeadline{30000};
    /// Answers one client may be owed at once; reading pauses at this many.
    std::size_t maxPendingAnswers = 8;
    int backlog = 16;
    /// Pause after an accept failure (out of descriptors, say), doubled on
    /// every further failure up to the maximum.
    std::chrono::milliseconds acceptPause{50};
    std::chrono::milliseconds acceptPauseMax{1000};
    /// TCP: how long a bind that finds the address in use is retried (a
    /// predecessor may still hold the port for a moment).
    std::chrono::milliseconds bindWait{0};
    /// Unix: the socket file's mode.
    mode_t unixMode = 0777;
    /// Where the server's own lines go (accept trouble, refused clients,
    /// what was found at a Unix socket path). May be empty.
    LogSink log;
};

/// One client's connection. Owned by the server while open; kept alive by
/// outstanding Answers after that.
class StreamSession : public std::enable_shared_from_this<StreamSession> {
public:
    using Socket = asio::generic::stream_protocol::socket;

    StreamSession(StreamServer& server, Socket socket, uint64_t id, PeerCredentials peer);
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    /// A number unique for the server's life.
    uint64_t id() const noexcept { return id_; }
    /// The connection's descriptor number (for log lines); -1 once closed.
    int fd() const noexcept { return fd_; }
    const PeerCredentials& peer() const noexcept { return peer_; }
    /// Bytes of an unfinished unit held for this client.
    std::size_t buffered() const noexcept { return in_.size(); }
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

class StreamServer {
public:
    /// Nothing is opened until listenTcp or listenUnix. `handler` must
    /// outlive the server.
    StreamServer(asio::io_context& io, StreamHandler& handler, StreamServerOptions options);
    /// Stops first (see stop()).
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    /// Binds `address`:`port` (port 0: any) with SO_REUSEADDR and listens.
    /// On failure returns the error and names the step in `failedStep`
    /// ("open", "bind", "listen").
    std::error_code listenTcp(const std::string& address, uint16_t port, const char** failedStep = nullptr);
    /// Puts a listening socket at `path` with the configured mode, replacing
    /// whatever stood there that is not a socket of ours (never following a
    /// link) and logging what it was.
    std::error_code listenUnix(const std::string& path);
    /// Starts accepting. Call after a successful listen.
    void start();
    /// Stops accepting, closes every client and, for a Unix socket, removes
    /// the socket file if it is still ours. Idempotent.
    void stop();

    /// The TCP port bound (useful after port 0); 0 when none.
    uint16_t boundPort() const;
    std::size_t clientCount() const noexcept { return sessions_.size(); }
    /// Whether accepting is paused after an accept failure.
    bool acceptPaused() const noexcept { return paused_; }
    bool listening() const noexcept { return acceptor_.is_open(); }
    const StreamServerOptions& options() const noexcept { return options_; }

private:
    friend class StreamSession;
    void startAccept();
    void onAccept(const std::error_code& ec, StreamSession::Socket socket);
    void admit(StreamSession::Socket socket);
    bool makeRoom(const PeerCredentials& peer);
    void pauseAccepting(const std::error_code& ec);
    void removeSession(StreamSession* session, CloseReason reason, const std::error_code& ec);
    void log(LogLevel level, const std::string& text) const;
    void logCapacity(const std::string& text);

    asio::io_context& io_;
    StreamHandler& handler_;
    StreamServerOptions options_;
    using Acceptor = asio::basic_socket_acceptor<asio::generic::stream_protocol>;
    Acceptor acceptor_;
    asio::steady_timer pauseTimer_;
    std::list<std::shared_ptr<StreamSession>> sessions_;
    uint64_t nextId_ = 1;
    bool paused_ = false;
    unsigned failures_ = 0;
    std::chrono::milliseconds pause_{0};
    std::optional<UnixSocketFile> unixFile_;
    std::chrono::steady_clock::time_point lastCapacityLine_{};
    unsigned capacityLinesHeld_ = 0;
    std::shared_ptr<StreamServer*> alive_;
};

}  // namespace orv
