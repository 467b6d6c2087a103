// Writes one "sendfile"/"response" frame straight into the memory the
// transport offers: the frame header, then the base64 of the JSON text whose
// "chunk" member is itself the base64 of the file bytes, then the trailer.
// Both encodings run in one pass over the bytes: the inner encoder's output
// feeds the outer one block by block, and a partial 3-byte group of the JSON
// text carries over between produce() calls of any size. The image is byte
// for byte what serialising the whole message and framing it would give.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/FrameLayout.h"
#include "protocol/Reply.h"

namespace czs {

// One spare chunk buffer handed back by a finished producer, so a transfer
// reuses the same memory for every chunk instead of faulting in fresh pages.
struct ChunkBufferPool {
    std::mutex mutex;
    std::vector<uint8_t> spare;

    std::vector<uint8_t> take();
    void giveBack(std::vector<uint8_t> buffer);
};

class ChunkFrameProducer final : public FrameProducer {
public:
    // Characters of JSON text staged at a time: the inner encoding of
    // 48 KiB of file bytes, small enough to stay in the cache between the
    // two encoders.
    static constexpr std::size_t kStage = 64 * 1024;

    // The "sendfile"/"response" for `bytes` read at `offset` for file `id`;
    // null when the message layout is not the expected one (logged).
    // `pool` (may be null) gets the buffer back when the producer goes.
    static std::unique_ptr<ChunkFrameProducer> forResponse(const std::string& id, int32_t offset,
                                                           std::vector<uint8_t> bytes,
                                                           std::shared_ptr<ChunkBufferPool> pool,
                                                           std::size_t stage = kStage);

    // `head` and `tail` are the compact JSON text before and after the chunk's
    // base64 characters; `bytes` the chunk itself. `stage` (at least 8) is
    // how much JSON text is staged at a time.
    ChunkFrameProducer(std::string head, std::string tail, std::vector<uint8_t> bytes,
                       std::shared_ptr<ChunkBufferPool> pool, std::size_t stage = kStage);
    ~ChunkFrameProducer() override;

    /// Frame size when the JSON text is `jsonSize` bytes long; 0 when the
    /// payload would not fit the 32-bit length field.
    static uint64_t frameSizeFor(uint64_t jsonSize);

    uint64_t size() const override { return size_; }
    void produce(std::span<uint8_t> out) override;

private:
    // Tops up the staged JSON text (keeping an unfinished 3-byte group).
    void refill();
    bool textExhausted() const {
        return headDone_ == head_.size() && bytesDone_ == bytes_.size() && tailDone_ == tail_.size();
    }

    std::string head_;
    std::string tail_;
    std::vector<uint8_t> bytes_;
    std::shared_ptr<ChunkBufferPool> pool_;

    uint64_t size_ = 0;
    uint64_t payloadEnd_ = 0;  // offset of the trailer
    uint64_t pos_ = 0;         // bytes handed out so far
    std::array<uint8_t, frame_layout::kHeaderSize> header_{};
    std::array<uint8_t, frame_layout::kTrailerSize> trailer_{};

    std::size_t headDone_ = 0;
    std::size_t bytesDone_ = 0;
    std::size_t tailDone_ = 0;
    std::size_t stageSize_;
    std::unique_ptr<uint8_t[]> stage_;
    std::size_t stageAt_ = 0;
    std::size_t stageEnd_ = 0;

    // Characters of one outer group that did not fit the caller's piece.
    uint8_t pending_[4] = {};
    std::size_t pendingAt_ = 0;
    std::size_t pendingEnd_ = 0;
};

}  // namespace czs
