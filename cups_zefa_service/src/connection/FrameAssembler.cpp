#include "connection/FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace czs {

namespace {
constexpr uint8_t kSof[4] = {'Z', 'E', 'F', 'A'};
constexpr uint8_t kEof = 0x0A;
constexpr unsigned kMaxFrameType = 4;
constexpr unsigned kMessageFrameType = 4;
}  // namespace

FrameAssembler::FrameAssembler(std::size_t maxFrame, DropReporter onDrop)
    : maxFrame_(std::max<std::size_t>(maxFrame, kHeaderSize + kTrailerSize)), onDrop_(std::move(onDrop)) {}

void FrameAssembler::append(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    compact();
    buf_.insert(buf_.end(), data, data + size);
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
    const uint8_t* hit = std::search(base + std::min(searchFrom, avail), end, std::begin(kSof), std::end(kSof));
    if (hit != end) {
        drop(static_cast<std::size_t>(hit - base), why);
        return true;
    }
    // Keep a tail that may be the beginning of a marker cut by the read.
    std::size_t keep = 0;
    for (std::size_t k = std::min<std::size_t>(3, avail); k > 0; --k) {
        if (std::memcmp(end - k, kSof, k) == 0 && avail - k >= searchFrom) {
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
        const std::size_t cmp = std::min<std::size_t>(avail, 4);
        if (std::memcmp(p, kSof, cmp) != 0) {
            if (!resync(0, "bytes before a frame start")) {
                return false;
            }
            continue;
        }
        if (avail < kHeaderSize) {
            return false;
        }
        const uint64_t payloadLen = (uint64_t{p[6]} << 24) | (uint64_t{p[7]} << 16) | (uint64_t{p[8]} << 8) | uint64_t{p[9]};
        const uint64_t total = payloadLen + kHeaderSize + kTrailerSize;
        if (total > maxFrame_) {
            // A length we will never buffer: this "ZEFA" is not a frame start.
            if (!resync(1, "frame length above the limit")) {
                return false;
            }
            continue;
        }
        const unsigned type = (unsigned{p[4]} << 8) | unsigned{p[5]};
        if (type > kMaxFrameType) {
            // No frame has such a type: a false start, not worth waiting for.
            if (!resync(1, "invalid frame type")) {
                return false;
            }
            continue;
        }
        if (type == kMessageFrameType) {
            // A message payload is base64 text and never holds 0x0A; one inside
            // the announced length means the header lies. Finding it now saves
            // waiting for bytes that would only be thrown away.
            const std::size_t payloadEnd = static_cast<std::size_t>(std::min<uint64_t>(avail, kHeaderSize + payloadLen));
            std::size_t from = std::max(scanned_, kHeaderSize);
            if (from < payloadEnd && std::memchr(p + from, kEof, payloadEnd - from) != nullptr) {
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
        if (p[total - 1] != kEof) {
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
