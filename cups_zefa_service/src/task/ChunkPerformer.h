// Serves the host's "sendfile"/"request" messages: reads the asked range of
// an announced print file and answers with a "sendfile"/"response" carrying
// it in base64. Lives as long as the host-channel handler, so the open file
// stays open across the requests of one transfer. Once the host has asked
// for a file's last byte, the file and its registry entry go.
#pragma once

#include <chrono>
#include <deque>
#include <utility>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <runtime/UniqueFd.h>

#include "protocol/Reply.h"
#include "task/ChunkFrameProducer.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolDirectory.h"

namespace czs {

class ChunkPerformer {
public:
    // Upper bound on one chunk. Hosts ask for pieces of a few hundred KiB to
    // a few MiB; anything larger would only let a request exhaust memory.
    static constexpr int32_t kMaxChunkSize = 16 * 1024 * 1024;

    // The registry is borrowed and must outlive the performer; fetched files
    // are removed from `spoolDir`.
    explicit ChunkPerformer(PrintFileRegistry& registry, int32_t maxChunkSize = kMaxChunkSize,
                            std::string spoolDir = kSpoolDir);
    ChunkPerformer(const ChunkPerformer&) = delete;
    ChunkPerformer& operator=(const ChunkPerformer&) = delete;

    // Takes "id", "offset" and "size" from the message's "data"; a message
    // without data repeats the previous request. JSON type errors propagate.
    void setRequest(const nlohmann::json& message);
    // The response frame, written by the transport as it drains the reply;
    // empty when no chunk can be produced (logged). The file's bytes are
    // read here, so the reply does not depend on the file afterwards.
    Reply createResponse();

    void openFile();
    void close();

    bool isOpen() const { return fd_.valid(); }
    const std::string& openId() const { return openId_; }
    int64_t fileSize() const { return fileSize_; }

private:
    static constexpr std::size_t kFinishedMemory = 16;
    // Whether `id` was fetched to its end and `offset` lies at or past it.
    bool pastEndOfFinished(const std::string& id, int32_t offset) const;
    // Reads `count` bytes at `offset` into `buffer` (zeros past the end of
    // the file); false when nothing could be read.
    bool readInto(int32_t offset, int32_t count, std::vector<uint8_t>& buffer);
    Reply buildResponse(std::vector<uint8_t> bytes);

    std::string id_;
    int32_t offset_ = -1;
    int32_t size_ = -1;
    bool numbersValid_ = true;  // offset and size fitted in 32 bits
    orv::UniqueFd fd_;
    std::string openId_;  // whose file fd_ is
    int64_t fileSize_ = 0;
    bool reachedEnd_ = false;  // the last read covered the file's last byte
    // Files fetched to the end (and so already removed), with their sizes: a
    // host that does not know a file's size keeps requests in flight past its
    // end, and those must still be answered (with the zeros a read past the
    // end gives) or the host waits for them for ever.
    std::deque<std::pair<std::string, int64_t>> finished_;
    std::chrono::system_clock::time_point openTime_;
    std::chrono::system_clock::time_point closeTime_;

    PrintFileRegistry& registry_;
    int32_t maxChunkSize_;
    SpoolDirectory spool_;
    std::shared_ptr<ChunkBufferPool> buffers_ = std::make_shared<ChunkBufferPool>();
};

}  // namespace czs
