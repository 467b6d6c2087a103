// C++ owner of a started shared-memory endpoint: shm_stop runs exactly once,
// when the owner goes away or is reset, so every exit path of a daemon
// releases the mapping (and a server unlinks its object for the next start).
#pragma once

#include <cstddef>
#include <utility>

#include "shm_channel/shm_channel.h"

namespace orv {

class ShmEndpointOwner {
public:
    ShmEndpointOwner() noexcept = default;
    /// Takes ownership of an endpoint from shm_srv_start/shm_cli_start (NULL: none).
    explicit ShmEndpointOwner(shm_endpoint* ep) noexcept : ep_(ep) {}
    ShmEndpointOwner(ShmEndpointOwner&& other) noexcept : ep_(other.release()) {}
    ShmEndpointOwner& operator=(ShmEndpointOwner&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ShmEndpointOwner(const ShmEndpointOwner&) = delete;
    ShmEndpointOwner& operator=(const ShmEndpointOwner&) = delete;
    ~ShmEndpointOwner() { reset(); }

    /// The endpoint, still owned here; valid until reset or destruction.
    shm_endpoint* get() const noexcept { return ep_; }
    explicit operator bool() const noexcept { return ep_ != nullptr; }
    /// Whether it holds none, spelt as for the raw pointer it replaces.
    friend bool operator==(const ShmEndpointOwner& owner, std::nullptr_t) noexcept { return owner.ep_ == nullptr; }

    /// Gives the endpoint up without stopping it; the caller then stops it.
    shm_endpoint* release() noexcept { return std::exchange(ep_, nullptr); }

    /// Stops what is held (waiting for its thread) and takes `ep`. Returns
    /// shm_stop's result, 0 when nothing was held. Callable from wherever
    /// shm_stop is.
    int reset(shm_endpoint* ep = nullptr) noexcept {
        shm_endpoint* old = std::exchange(ep_, ep);
        return old != nullptr && old != ep ? shm_stop(old) : 0;
    }

private:
    shm_endpoint* ep_ = nullptr;
};

}  // namespace orv
