#include "connection/FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace czs {

namespace {
using Frame = PrintProtocolFrame;
constexpr std::size_t kHeaderSize = Frame::kHeaderSize;
constexpr const uint8_t* kSofBegin = Frame::kSof;
constexpr const uint8_t* kSofEnd = Frame::kSof + sizeof Frame::kSof;
}  // namespace

FrameAssembler::FrameAssembler(std::size_t maxFrame, DropReporter onDrop)
    : maxFrame_(std::max<std::size_t>(maxFrame, Frame::kOverhead)), onDrop_(std::move(onDrop)) {}

void FrameAssembler::append(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    compact();
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void FrameAssembler::clear() {
    buf_.clear();
    start_ = 0;
    scanned_ = 0;
}

void FrameAssembler::drop(std::size_t count, const char* why) {
    if (count == 0) {
        return;
    }
    start_ += count;
    scanned_ = 0;
    if (onDrop_) {
        onDrop_(count, why);
    }
}

void FrameAssembler::compact() {
    // Consumed bytes are released lazily so a read holding many small frames
    // costs one move, not one per frame.
    if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    } else if (start_ > 0 && start_ >= buf_.size() / 2) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

bool FrameAssembler::resync(std::size_t searchFrom, const char* why) {
    const uint8_t* base = buf_.data() + start_;
    const std::size_t avail = buffered();
    const uint8_t* end = base + avail;
    const uint8_t* hit = std::search(base + std::min(searchFrom, avail), end, kSofBegin, kSofEnd);
    if (hit != end) {
        drop(static_cast<std::size_t>(hit - base), why);
        return true;
    }
    // Keep a tail that may be the beginning of a marker cut by the read.
    std::size_t keep = 0;
    for (std::size_t k = std::min<std::size_t>(3, avail); k > 0; --k) {
        if (Frame::mayStartFrame(end - k, k) && avail - k >= searchFrom) {
            keep = k;
            break;
        }
    }
    drop(avail - keep, why);
    return false;
}

bool FrameAssembler::next(RawStreamData& out) {
    for (;;) {
        const std::size_t avail = buffered();
        if (avail == 0) {
            return false;
        }
        const uint8_t* p = buf_.data() + start_;
        if (!Frame::mayStartFrame(p, avail)) {
            if (!resync(0, "bytes before a frame start")) {
                return false;
            }
            continue;
        }
        if (avail < kHeaderSize) {
            return false;
        }
        Frame::Header header;
        Frame::parseHeader(p, header);  // the marker was checked above
        const uint64_t payloadLen = header.payloadLen;
        const uint64_t total = header.frameSize();
        if (total > maxFrame_) {
            // A length we will never buffer: this "ZEFA" is not a frame start.
            if (!resync(1, "frame length above the limit")) {
                return false;
            }
            continue;
        }
        if (header.type > Frame::kMaxType) {
            // No frame has such a type: a false start, not worth waiting for.
            if (!resync(1, "invalid frame type")) {
                return false;
            }
            continue;
        }
        if (header.type == Frame::kTypeJsonMessage) {
            // A message payload is base64 text and never holds 0x0A; one inside
            // the announced length means the header lies. Finding it now saves
            // waiting for bytes that would only be thrown away.
            const std::size_t payloadEnd =
                static_cast<std::size_t>(std::min<uint64_t>(avail, kHeaderSize + payloadLen));
            std::size_t from = std::max(scanned_, kHeaderSize);
            if (from < payloadEnd && std::memchr(p + from, Frame::kEof, payloadEnd - from) != nullptr) {
                if (!resync(1, "line end inside a message payload")) {
                    return false;
                }
                continue;
            }
            scanned_ = payloadEnd;
        }
        if (avail < total) {
            return false;
        }
        if (p[total - 1] != Frame::kEof) {
            // The length field points at a byte that is not the frame end, so
            // the header is damaged; look for the next start after this one.
            if (!resync(1, "frame end missing")) {
                return false;
            }
            continue;
        }
        out.assign(p, p + total);
        start_ += total;
        scanned_ = 0;
        return true;
    }
}

}  // namespace czs
