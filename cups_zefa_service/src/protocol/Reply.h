// The frame a handler hands back for the host, owned by exactly one holder at
// a time. A reply is either a finished image (the malloc'd buffer the frame
// codec built) or a producer that writes the image on demand straight into
// the memory the transport offers (a shared-memory ring's free space, a
// socket's buffer), so a large chunk response is never built twice.
// Moving passes ownership on; copying is impossible, so the image can be
// neither leaked nor freed twice.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <utility>

namespace czs {

// Deleter for buffers that came from malloc (reply frames).
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// Writes a frame image of a known size in order, piece by piece, into memory
// it is handed. Successive produce() calls cover [0, size()) exactly once.
class FrameProducer {
public:
    virtual ~FrameProducer() = default;
    /// The whole image's size in bytes; fixed before the first produce().
    virtual uint64_t size() const = 0;
    /// Fills `out` with the next out.size() bytes of the image (not empty,
    /// and never past size() in total). Called from the thread that writes
    /// the reply.
    virtual void produce(std::span<uint8_t> out) = 0;
};

// Told once whether a reply's whole image reached the host channel (true),
// or was dropped (false: no channel, a stalled or vanished peer, shutdown).
// Runs on the thread that finished the write; may be empty.
using WriteDone = std::function<void(bool written)>;

class Reply {
public:
    Reply() noexcept = default;

    /// Takes ownership of `data`, which must come from malloc (or be null).
    /// A null pointer or a zero size makes an empty reply (the buffer, if
    /// any, is freed at once).
    static Reply adopt(uint8_t* data, uint64_t size) noexcept {
        Reply r;
        if (data != nullptr && size != 0) {
            r.data_.reset(data);
            r.size_ = size;
        } else {
            std::free(data);
        }
        return r;
    }

    /// Takes ownership of a producer; an empty reply when it is null or has
    /// nothing to write.
    static Reply produced(std::unique_ptr<FrameProducer> producer) noexcept {
        Reply r;
        if (producer && producer->size() != 0) {
            r.size_ = producer->size();
            r.producer_ = std::move(producer);
        }
        return r;
    }

    Reply(Reply&& other) noexcept
        : data_(std::move(other.data_)),
          producer_(std::move(other.producer_)),
          size_(std::exchange(other.size_, 0)),
          written_(std::exchange(other.written_, 0)) {}
    Reply& operator=(Reply&& other) noexcept {
        if (this != &other) {
            data_ = std::move(other.data_);
            producer_ = std::move(other.producer_);
            size_ = std::exchange(other.size_, 0);
            written_ = std::exchange(other.written_, 0);
        }
        return *this;
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() = default;

    /// The whole image's size; 0 for an empty reply.
    uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    /// Bytes of the image not yet handed out by take().
    uint64_t remaining() const noexcept { return size_ - written_; }

    /// The finished image when this reply holds one (null for a producer):
    /// transports that can write a contiguous buffer as it is use this.
    const uint8_t* data() const noexcept { return data_.get(); }

    /// Copies (or produces) the next bytes of the image into the front of
    /// `out`, in order, as many as fit; returns how many. The same reply can
    /// be drained in pieces of any size, e.g. the two spans of a ring's free
    /// space.
    std::size_t take(std::span<uint8_t> out) {
        const auto n = static_cast<std::size_t>(std::min<uint64_t>(out.size(), remaining()));
        if (n == 0) return 0;
        if (data_) {
            std::memcpy(out.data(), data_.get() + written_, n);
        } else {
            producer_->produce(out.first(n));
        }
        written_ += n;
        return n;
    }

    /// Hands a finished image over as its malloc'd buffer (null for a
    /// producer or an empty reply); the reply is empty afterwards.
    MallocBuffer releaseBuffer() noexcept {
        size_ = 0;
        written_ = 0;
        return std::move(data_);
    }

private:
    MallocBuffer data_;
    std::unique_ptr<FrameProducer> producer_;
    uint64_t size_ = 0;
    uint64_t written_ = 0;
};

}  // namespace czs
