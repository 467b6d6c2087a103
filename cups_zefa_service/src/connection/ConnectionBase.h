// The print daemon's transport abstraction: a connection opens, delivers the
// bytes it receives to its owner through a callback, and writes frames.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <system_error>

#include "protocol/RawStreamData.h"
#include "protocol/Reply.h"

namespace czs {

class ConnectionBase : public std::enable_shared_from_this<ConnectionBase> {
public:
    using DataCallback = std::function<void(const RawStreamData&)>;

    virtual ~ConnectionBase() = default;

    // Opens the transport and starts receiving; a zero value means success.
    virtual std::error_code open() = 0;
    virtual void startRead() = 0;
    // Sends `size` bytes from `data`, a buffer allocated with malloc. The
    // connection takes it over and frees it once its bytes have gone out (or
    // once it gives up on them).
    virtual void write(uint8_t* data, uint64_t size) = 0;
    virtual RawStreamData extractData(std::size_t bytesTransferred) = 0;
};

}  // namespace czs
