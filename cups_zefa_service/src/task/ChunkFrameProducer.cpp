#include "task/ChunkFrameProducer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "protocol/Base64.h"
#include "protocol/FrameLayout.h"
#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"

namespace czs {

std::vector<uint8_t> ChunkBufferPool::take() {
    const std::lock_guard<std::mutex> lock(mutex);
    return std::move(spare);
}

void ChunkBufferPool::giveBack(std::vector<uint8_t> buffer) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (buffer.capacity() > spare.capacity()) spare = std::move(buffer);
}

uint64_t ChunkFrameProducer::frameSizeFor(uint64_t jsonSize) {
    const uint64_t payload = base64::encodedSize(jsonSize);
    if (payload > std::numeric_limits<uint32_t>::max() - PrintProtocolFrame::kOverhead) return 0;
    return payload + PrintProtocolFrame::kOverhead;
}

std::unique_ptr<ChunkFrameProducer> ChunkFrameProducer::forResponse(const std::string& id, int32_t offset,
                                                                    std::vector<uint8_t> bytes,
                                                                    std::shared_ptr<ChunkBufferPool> pool,
                                                                    std::size_t stage) {
    // The response is serialised with an empty "chunk"; the producer writes
    // the chunk's base64 text between the two halves while it encodes the
    // payload. Base64 text never needs JSON escaping, so the result is byte
    // for byte what serialising the complete message would give, without
    // walking the large string through the JSON escaper or building the
    // frame in memory first.
    const auto size = static_cast<int32_t>(bytes.size());
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", nlohmann::json{{"chunk", ""}, {"id", id}, {"offset", offset}, {"size", size}});
    std::string text = msg.jsonValue().dump();
    static constexpr char kSlot[] = "\"data\":{\"chunk\":\"";
    const std::size_t slot = text.find(kSlot);
    if (slot == std::string::npos) return nullptr;
    const std::size_t cut = slot + sizeof kSlot - 1;
    std::string tail = text.substr(cut);
    text.resize(cut);
    return std::make_unique<ChunkFrameProducer>(std::move(text), std::move(tail), std::move(bytes), std::move(pool),
                                                stage);
}

ChunkFrameProducer::ChunkFrameProducer(std::string head, std::string tail, std::vector<uint8_t> bytes,
                                       std::shared_ptr<ChunkBufferPool> pool, std::size_t stage)
    : head_(std::move(head)),
      tail_(std::move(tail)),
      bytes_(std::move(bytes)),
      pool_(std::move(pool)),
      stageSize_(std::max<std::size_t>(stage, 8)) {
    const uint64_t jsonSize = head_.size() + base64::encodedSize(bytes_.size()) + tail_.size();
    size_ = frameSizeFor(jsonSize);
    if (size_ == 0) return;  // an empty reply; the caller logs why
    const uint64_t payload = size_ - PrintProtocolFrame::kOverhead;
    payloadEnd_ = frame_layout::kHeaderSize + payload;
    frame_layout::writeHeader(header_, static_cast<uint16_t>(PrintProtocolFrame::kTypeJsonMessage),
                              static_cast<uint32_t>(payload));
    frame_layout::writeTrailer(trailer_);
    stage_ = std::make_unique<uint8_t[]>(stageSize_);
}

ChunkFrameProducer::~ChunkFrameProducer() {
    if (pool_) pool_->giveBack(std::move(bytes_));
}

void ChunkFrameProducer::refill() {
    // Keep the unfinished group at the front.
    const std::size_t left = stageEnd_ - stageAt_;
    std::memmove(stage_.get(), stage_.get() + stageAt_, left);
    stageAt_ = 0;
    stageEnd_ = left;
    std::size_t room = stageSize_ - stageEnd_;
    if (headDone_ < head_.size() && room > 0) {
        const std::size_t n = std::min(room, head_.size() - headDone_);
        std::memcpy(stage_.get() + stageEnd_, head_.data() + headDone_, n);
        headDone_ += n;
        stageEnd_ += n;
        room -= n;
    }
    if (headDone_ == head_.size() && bytesDone_ < bytes_.size() && room >= 4) {
        // Whole inner groups only, except for the chunk's own last group,
        // which the inner encoder pads.
        const std::size_t n = std::min(bytes_.size() - bytesDone_, room / 4 * 3);
        base64::encode(std::span(bytes_).subspan(bytesDone_, n), std::span(stage_.get() + stageEnd_, room));
        bytesDone_ += n;
        stageEnd_ += base64::encodedSize(n);
        room -= base64::encodedSize(n);
    }
    if (headDone_ == head_.size() && bytesDone_ == bytes_.size() && tailDone_ < tail_.size() && room > 0) {
        const std::size_t n = std::min(room, tail_.size() - tailDone_);
        std::memcpy(stage_.get() + stageEnd_, tail_.data() + tailDone_, n);
        tailDone_ += n;
        stageEnd_ += n;
    }
}

void ChunkFrameProducer::produce(std::span<uint8_t> into) {
    uint8_t* out = into.data();
    std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(into.size(), size_ - pos_));
    while (n > 0) {
        std::size_t wrote = 0;
        if (pendingAt_ < pendingEnd_) {
            wrote = std::min(n, pendingEnd_ - pendingAt_);
            std::memcpy(out, pending_ + pendingAt_, wrote);
            pendingAt_ += wrote;
        } else if (pos_ < header_.size()) {
            wrote = std::min<std::size_t>(n, static_cast<std::size_t>(header_.size() - pos_));
            std::memcpy(out, header_.data() + pos_, wrote);
        } else if (pos_ < payloadEnd_) {
            const std::size_t avail = stageEnd_ - stageAt_;
            if (avail < 3 && !textExhausted()) {
                refill();
                continue;
            }
            if (avail == 0) break;  // cannot happen: the size was computed from the same parts
            const uint8_t* text = stage_.get() + stageAt_;
            if (const std::size_t groups = std::min(avail / 3, n / 4); groups > 0) {
                // The bulk: straight into the caller's memory.
                base64::encode(std::span(text, groups * 3), std::span(out, groups * 4));
                stageAt_ += groups * 3;
                wrote = groups * 4;
            } else {
                // A group split by the caller's piece, or the padded last one.
                const std::size_t take = std::min<std::size_t>(avail, 3);
                base64::encode(std::span(text, take), std::span(pending_));
                stageAt_ += take;
                pendingAt_ = 0;
                pendingEnd_ = 4;
                continue;
            }
        } else {
            const std::size_t at = static_cast<std::size_t>(pos_ - payloadEnd_);
            wrote = std::min(n, trailer_.size() - at);
            std::memcpy(out, trailer_.data() + at, wrote);
        }
        out += wrote;
        n -= wrote;
        pos_ += wrote;
    }
}

}  // namespace czs
