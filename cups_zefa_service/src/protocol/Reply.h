// The frame a handler hands back for the host: the malloc'd image built by the
// frame codec, owned by exactly one holder at a time. Moving passes ownership
// on; the last holder frees it, or release() hands the raw pointer to a
// connection, which then frees it with free() once written. Copying is
// impossible, so the image can be neither leaked nor freed twice.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

namespace czs {

// Deleter for buffers that came from malloc (reply frames).
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

class Reply {
public:
    Reply() noexcept = default;

    // Takes ownership of `data`, which must come from malloc (or be null).
    // A null pointer or a zero size makes an empty reply (the buffer, if any,
    // is freed at once).
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

    Reply(Reply&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    Reply& operator=(Reply&& other) noexcept {
        if (this != &other) {
            data_ = std::move(other.data_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() = default;

    const uint8_t* data() const noexcept { return data_.get(); }
    uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return !data_; }

    // Hands the image over; the caller must free() it. The reply is empty
    // afterwards.
    uint8_t* release() noexcept {
        size_ = 0;
        return data_.release();
    }

    // The same hand-over, keeping the ownership in a type.
    MallocBuffer releaseBuffer() noexcept {
        size_ = 0;
        return std::move(data_);
    }

private:
    MallocBuffer data_;
    uint64_t size_ = 0;
};

}  // namespace czs
