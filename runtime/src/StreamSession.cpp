// The session side of the stream server: one client's reads, units, answers
// and deadlines, and the Answer handle that reaches it from any thread.
#include "runtime/StreamSession.h"

#include <algorithm>

#include "runtime/Deadline.h"
#include "runtime/StreamServer.h"

namespace orv {

const char* closeReasonText(CloseReason reason) noexcept {
    switch (reason) {
        case CloseReason::PeerClosed:
            return "peer closed";
        case CloseReason::ReadError:
            return "read error";
        case CloseReason::WriteError:
            return "write error";
        case CloseReason::UnitDeadline:
            return "no complete unit in time";
        case CloseReason::AnswerDeadline:
            return "answer took too long";
        case CloseReason::TooLong:
            return "line too long";
        case CloseReason::Shed:
            return "idle, made room for a new client";
        case CloseReason::ByHandler:
            return "closed by the service";
        case CloseReason::ServerStopped:
            return "server stopped";
    }
    return "unknown";
}

// ---- Answer ----------------------------------------------------------------

Answer& Answer::operator=(Answer&& other) noexcept {
    if (this != &other) {
        resolve(std::nullopt);
        link_ = std::move(other.link_);
        slot_ = other.slot_;
    }
    return *this;
}

Answer::~Answer() {
    resolve(std::nullopt);
}

void Answer::send(std::string bytes) {
    resolve(std::move(bytes));
}

void Answer::resolve(std::optional<std::string> bytes) {
    std::shared_ptr<AnswerLink> link = std::move(link_);
    if (!link) return;
    // Posted under the link's lock: the client closes (on the loop, before
    // the loop can go away) under the same lock, so nothing is posted after.
    std::lock_guard<std::mutex> lock(link->mu);
    if (!link->open) return;
    // Always through the loop, also from the loop thread itself: the session
    // is only ever touched there, and never re-entered from a handler.
    asio::post(link->executor, [weak = link->session, slot = slot_, b = std::move(bytes)]() mutable {
        if (auto s = weak.lock()) s->resolve(slot, std::move(b));
    });
}

// ---- StreamSession ---------------------------------------------------------

StreamSession::StreamSession(StreamServer& server, Socket socket, uint64_t id, PeerCredentials peer)
    : server_(&server),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      id_(id),
      fd_(socket_.native_handle()),
      peer_(peer),
      lastActive_(Clock::now()),
      link_(std::make_shared<AnswerLink>()) {
    link_->executor = socket_.get_executor();
}

StreamSession::~StreamSession() = default;

Answer StreamSession::defer() {
    slots_.push_back(Slot{});
    if (++owed_ == 1) armAnswerDeadline();
    {
        std::lock_guard<std::mutex> lock(link_->mu);
        if (link_->session.expired()) link_->session = weak_from_this();
    }
    return Answer(link_, firstSlot_ + slots_.size() - 1);
}

void StreamSession::close() {
    shut(CloseReason::ByHandler);
}

void StreamSession::begin() {
    armUnitDeadline();
}

void StreamSession::startRead() {
    if (closed_ || reading_ || inputDone_) return;
    if (owed_ >= server_->options_.maxPendingAnswers) {
        // Enough answers owed: the client waits until they are out before
        // more of its input is taken.
        readPaused_ = true;
        return;
    }
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(readBuf_),
        [self = shared_from_this()](const std::error_code& ec, std::size_t n) { self->onRead(ec, n); });
}

void StreamSession::onRead(const std::error_code& ec, std::size_t n) {
    reading_ = false;
    if (closed_ || server_ == nullptr) return;
    server_->handler_.onRead(*this, ec, n);
    if (closed_) return;
    if (ec == asio::error::eof) {
        inputEnded();
        return;
    }
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
        shut(CloseReason::ReadError, ec);
        return;
    }
    in_.insert(in_.end(), readBuf_.begin(), readBuf_.begin() + static_cast<std::ptrdiff_t>(n));
    deliverUnits(n);
    if (closed_) return;
    startRead();
}

void StreamSession::deliverUnits(std::size_t justRead) {
    const StreamServerOptions& o = server_->options_;
    auto self = shared_from_this();  // the handler may close us
    std::size_t off = 0;
    bool any = false;
    for (;;) {
        std::size_t len = 0;
        if (o.framing == StreamServerOptions::Framing::Line) {
            // Only the bytes that just came can hold the newline.
            const std::size_t from = std::max(off, in_.size() - justRead);
            auto nl = std::find(in_.begin() + static_cast<std::ptrdiff_t>(from), in_.end(), '\n');
            if (nl == in_.end()) break;
            len = static_cast<std::size_t>(nl - in_.begin()) + 1 - off;
        } else {
            if (in_.size() - off < o.recordSize) break;
            len = o.recordSize;
        }
        any = true;
        lastActive_ = Clock::now();
        inUnit_ = true;
        server_->handler_.onUnit(*this, std::span<const uint8_t>(in_).subspan(off, len));
        inUnit_ = false;
        off += len;
        if (closed_ || server_ == nullptr) return;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(off));
    if (o.framing == StreamServerOptions::Framing::Line && in_.size() >= o.maxLine) {
        shut(CloseReason::TooLong);
        return;
    }
    if (!any) {
        server_->handler_.onPartial(*this, justRead);
        // A unit just got under way: its deadline starts now, and trickling
        // bytes do not push it back.
        if (o.idleIsFree && owed_ == 0 && !unitArmed_) armUnitDeadline();
    } else if (owed_ == 0) {
        unitArmed_ = false;
        armUnitDeadline();
    }
}

void StreamSession::inputEnded() {
    inputDone_ = true;
    // An unfinished unit of a client that left belongs to nobody.
    in_.clear();
    maybeFinish();
}

void StreamSession::resolve(uint64_t slot, std::optional<std::string> bytes) {
    if (closed_ || slot < firstSlot_ || slot - firstSlot_ >= slots_.size()) return;
    Slot& s = slots_[slot - firstSlot_];
    if (s.resolved) return;
    s.resolved = true;
    if (bytes) s.bytes = std::move(*bytes);
    --owed_;
    while (!slots_.empty() && slots_.front().resolved) {
        if (!slots_.front().bytes.empty()) writes_.push_back(std::move(slots_.front().bytes));
        slots_.pop_front();
        ++firstSlot_;
    }
    lastActive_ = Clock::now();
    startWrite();
    if (closed_) return;
    if (owed_ == 0 && !inputDone_) armUnitDeadline();
    if (readPaused_ && owed_ < server_->options_.maxPendingAnswers) {
        readPaused_ = false;
        startRead();
    }
    maybeFinish();
}

void StreamSession::startWrite() {
    if (writing_ || writes_.empty() || closed_) return;
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writes_.front()),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                          self->writing_ = false;
                          if (self->closed_) return;
                          if (ec) {
                              self->shut(CloseReason::WriteError, ec);
                              return;
                          }
                          self->writes_.pop_front();
                          self->startWrite();
                          self->maybeFinish();
                      });
}

void StreamSession::maybeFinish() {
    if (!closed_ && inputDone_ && owed_ == 0 && writes_.empty() && !writing_) shut(CloseReason::PeerClosed);
}

void StreamSession::armUnitDeadline() {
    if (server_->options_.idleIsFree && in_.empty()) {
        ++timerGen_;
        timer_.cancel();
        unitArmed_ = false;
        return;
    }
    unitArmed_ = true;
    timer_.expires_after(server_->options_.unitDeadline);
    // A wait that already fired is not cancelled by re-arming; the
    // generation tells a stale expiry from the current one.
    timer_.async_wait([self = shared_from_this(), gen = ++timerGen_](const std::error_code& ec) {
        if (ec || gen != self->timerGen_ || self->closed_ || self->owed_ != 0) return;
        self->shut(CloseReason::UnitDeadline);
    });
}

void StreamSession::armAnswerDeadline() {
    unitArmed_ = false;
    timer_.expires_after(server_->options_.answerDeadline);
    timer_.async_wait([self = shared_from_this(), gen = ++timerGen_](const std::error_code& ec) {
        if (ec || gen != self->timerGen_ || self->closed_ || self->owed_ == 0) return;
        self->shut(CloseReason::AnswerDeadline);
    });
}

void StreamSession::shut(CloseReason reason, const std::error_code& ec) {
    if (closed_) return;
    closed_ = true;
    // Answers still out are moot now; they must not post to a loop that may
    // be gone by the time they are sent or dropped.
    {
        std::lock_guard<std::mutex> lock(link_->mu);
        link_->open = false;
    }
    ++timerGen_;
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    if (server_ != nullptr) server_->removeSession(this, reason, ec);
}

}  // namespace orv
