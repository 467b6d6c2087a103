// Serves the host's "sendfile"/"request" messages: reads the asked range of
// an announced print file and answers with a "sendfile"/"response" carrying
// it in base64. Lives as long as the host-channel handler, so the open file
// stays open across the requests of one transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "task/PrintFileRegistry.h"

namespace czs {

class ChunkPerformer {
public:
    // Upper bound on one chunk. Hosts ask for pieces of a few hundred KiB to
    // a few MiB; anything larger would only let a request exhaust memory
    // (the reply holds the chunk about three times over).
    static constexpr int32_t kMaxChunkSize = 16 * 1024 * 1024;

    explicit ChunkPerformer(PrintFileRegistry& registry = PrintFileRegistry::instance(),
                            int32_t maxChunkSize = kMaxChunkSize);
    ~ChunkPerformer();
    ChunkPerformer(const ChunkPerformer&) = delete;
    ChunkPerformer& operator=(const ChunkPerformer&) = delete;

    // Takes "id", "offset" and "size" from the message's "data"; a message
    // without data repeats the previous request. JSON type errors propagate.
    void setRequest(const nlohmann::json& message);
    // The response payload, or empty when no chunk can be produced (logged).
    // The bytes live in the performer and stay valid until the next call:
    // reusing the buffers keeps a transfer from allocating and faulting in
    // megabytes of fresh memory for every chunk.
    const std::vector<uint8_t>& createResponse();

    void openFile();
    std::vector<uint8_t> read(int32_t offset, int32_t count);
    void close();

    bool isOpen() const { return fd_ >= 0; }
    const std::string& openId() const { return openId_; }
    int64_t fileSize() const { return fileSize_; }

private:
    // Reads `count` bytes at `offset` into `buffer` (zeros past the end of
    // the file); false when nothing could be read.
    bool readInto(int32_t offset, int32_t count, std::vector<uint8_t>& buffer);
    const std::vector<uint8_t>& buildResponse(const std::vector<uint8_t>& bytes);

    std::string id_;
    int32_t offset_ = -1;
    int32_t size_ = -1;
    bool numbersValid_ = true;  // offset and size fitted in 32 bits
    int fd_ = -1;
    std::string openId_;        // whose file fd_ is
    int64_t fileSize_ = 0;
    std::chrono::system_clock::time_point openTime_;
    std::chrono::system_clock::time_point closeTime_;

    PrintFileRegistry& registry_;
    int32_t maxChunkSize_;
    std::vector<uint8_t> chunk_;    // the bytes read for the current request
    std::vector<uint8_t> payload_;  // the current response payload
};

}  // namespace czs
