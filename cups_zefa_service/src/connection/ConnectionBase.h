// The print daemon's host seam: a connection opens, hands every complete frame
// it receives to its owner, says once when the channel has closed under it,
// and writes reply frames whole, telling the writer whether they went out.
#pragma once

#include <functional>

#include <runtime/Result.h>

#include "protocol/RawStreamData.h"
#include "protocol/Reply.h"

namespace czs {

class ConnectionBase {
public:
    /// One complete frame (or, for the backend socket, one line). Called on the
    /// connection's reading thread (the event loop, or the shared-memory
    /// client thread); the bytes are only borrowed for the call.
    using DataCallback = std::function<void(const RawStreamData&)>;
    /// The channel closed under the connection (peer gone, or broken so that
    /// no further frame can be trusted). Called at most once, on the reading
    /// thread, never while the owner destroys the connection. What it means
    /// for the process is the owner's decision.
    using ClosedCallback = std::function<void()>;

    /// What a connection reports upward; both copied into the connection.
    struct Callbacks {
        DataCallback onFrame;
        ClosedCallback onClosed;
    };

    /// Destruction stops all delivery: no callback runs once it has returned.
    virtual ~ConnectionBase() = default;

    /// Opens the transport and starts receiving (main thread). Success means
    /// the channel is open; a failure carries the error and names the step
    /// that failed ("open", "stat", "shm_cli_start", ...).
    virtual orv::Result<void> open() = 0;

    /// Takes the reply over and puts its whole image on the channel, never a
    /// part of it between other frames. `done` (may be empty) is told once:
    /// true when every byte is in the channel, false when the frame was
    /// dropped (no channel, a peer that stalls past the deadline or left,
    /// shutdown with the write pending). Any thread may call it; `done` runs on
    /// the thread that finished the write, or inside this call.
    virtual void write(Reply reply, WriteDone done) = 0;
};

}  // namespace czs
