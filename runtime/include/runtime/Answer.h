// The answer a stream-server client is owed for one unit. It may be sent or
// dropped from any thread and may outlive the session, the server and the
// loop it was made on.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace orv {

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

}  // namespace orv
