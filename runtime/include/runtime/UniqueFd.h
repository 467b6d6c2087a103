// An owned file descriptor: closed exactly once, when its owner goes away.
// Move-only, so a descriptor can neither leak nor be closed twice; -1 means
// "none" (0 is a valid descriptor and is never used as a sentinel).
#pragma once

#include <unistd.h>

#include <utility>

namespace orv {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    /// Takes ownership of `fd` (or holds none when it is negative).
    explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    /// The descriptor, still owned here; -1 when there is none.
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    /// Gives the descriptor up without closing it; the caller owns it.
    int release() noexcept { return std::exchange(fd_, -1); }

    /// Closes what is held (errors from close are not actionable) and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd) ::close(fd_);
        fd_ = fd < 0 ? -1 : fd;
    }

private:
    int fd_ = -1;
};

}  // namespace orv
