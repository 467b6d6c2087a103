// Cuts a byte stream from the host into whole print protocol frames, using
// the frame's own length field, so frames glued together or split by the
// transport are delivered one by one and in order. Bytes that cannot start a
// frame (no "ZEFA", a type above 4, a length above the bound, a line end
// inside a message payload, a wrong end byte) are dropped up to the next
// "ZEFA" and reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "protocol/PrintProtocolFrame.h"
#include "protocol/RawStreamData.h"

namespace czs {

class FrameAssembler {
public:
    // The largest frame we wait for. The biggest frames on the channel are
    // chunk responses: base64 inside base64 makes them about 1.78 times the
    // chunk, so 24 MiB covers chunks of 12 MiB, far above the 1 MiB chunks
    // the host asks for, and more than one ring of the 32 MiB shared object
    // can hold at once. A header announcing more than this is not trusted.
    static constexpr std::size_t kDefaultMaxFrame = 24u * 1024u * 1024u;

    // Called with the count of bytes thrown away while looking for the next
    // frame start, so the owner can log them under its own name.
    using DropReporter = std::function<void(std::size_t dropped, const char* why)>;

    /// `onDrop` is copied and called on the thread that calls next().
    /// One assembler belongs to one reading thread; it takes no lock.
    explicit FrameAssembler(std::size_t maxFrame = kDefaultMaxFrame, DropReporter onDrop = {});

    /// Copies `bytes` to the end of the buffered stream.
    void append(std::span<const uint8_t> bytes);

    /// Moves the next complete frame into `out` and returns true, or returns
    /// false when the buffered bytes do not yet hold one.
    bool next(RawStreamData& out);

    /// Bytes held that are not yet part of a delivered frame.
    std::size_t buffered() const { return buf_.size() - start_; }
    /// The largest frame waited for.
    std::size_t maxFrame() const { return maxFrame_; }
    /// Forgets everything buffered (a peer that left cannot finish its frame).
    void clear();

private:
    void drop(std::size_t count, const char* why);
    // Discards everything before the next "ZEFA" (keeping a possible partial
    // marker at the end). Returns true when a marker now starts the buffer.
    bool resync(std::size_t searchFrom, const char* why);
    void compact();

    std::vector<uint8_t> buf_;
    std::size_t start_ = 0;  // first unconsumed byte in buf_
    // How far (from start_) the pending message frame's payload has been
    // checked for a stray line end, so each byte is looked at once.
    std::size_t scanned_ = 0;
    std::size_t maxFrame_;
    DropReporter onDrop_;
};

}  // namespace czs
