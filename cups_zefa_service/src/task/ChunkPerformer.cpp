#include "task/ChunkPerformer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Log.h"
#include "protocol/Base64.h"
#include "protocol/PrintProtocolJsonMsg.h"

namespace czs {
namespace {

constexpr const char* kLogTag = "ChunkPerformer";

// Reads a request number as the library's value() access would, with -1 for
// an absent member, but reports values that do not fit in 32 bits instead of
// letting them wrap to some other offset. Non-numbers throw type error 302.
int32_t readNumber(const nlohmann::json& data, const char* key, bool& valid) {
    const auto it = data.find(key);
    if (it == data.end()) return -1;
    if (it->is_number_float()) {
        const double d = it->get<double>();
        if (!(d > -2147483649.0 && d < 2147483648.0)) {
            valid = false;
            return 0;
        }
        return static_cast<int32_t>(d);
    }
    if (it->is_number_unsigned()) {
        const auto u = it->get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            valid = false;
            return 0;
        }
        return static_cast<int32_t>(u);
    }
    if (it->is_number_integer()) {
        const auto i = it->get<int64_t>();
        if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max()) {
            valid = false;
            return 0;
        }
        return static_cast<int32_t>(i);
    }
    return it->get<int32_t>();  // booleans give 0/1; anything else throws
}

// Bytes of file data base64-encoded per step while the payload is assembled:
// a multiple of 3, so only the last step pads, and small enough to stay in cache.
constexpr size_t kEncodeStep = 3 * 16 * 1024;

}  // namespace

ChunkPerformer::ChunkPerformer(PrintFileRegistry& registry, int32_t maxChunkSize)
    : registry_(registry), maxChunkSize_(maxChunkSize) {}

ChunkPerformer::~ChunkPerformer() {
    if (fd_ >= 0) ::close(fd_);
}

void ChunkPerformer::setRequest(const nlohmann::json& message) {
    const nlohmann::json data = PrintProtocolJsonMsg::getField(message, "data");
    if (data.is_null()) return;
    std::string id = data.value("id", std::string());
    bool valid = true;
    const int32_t offset = readNumber(data, "offset", valid);
    const int32_t size = readNumber(data, "size", valid);
    id_ = std::move(id);
    offset_ = offset;
    size_ = size;
    numbersValid_ = valid;
}

const std::vector<uint8_t>& ChunkPerformer::createResponse() {
    static const std::vector<uint8_t> kNothing;
    bool haveBytes = false;
    if (size_ != -1 && (!numbersValid_ || size_ < 0 || offset_ < 0 || size_ > maxChunkSize_)) {
        // A negative size would ask for a huge buffer, a negative offset for
        // a failed seek; an oversized one could exhaust memory.
        CZS_LOG_ERROR("createResponse", "rejecting request for %s: offset=%d size=%d (maximum %d)\n", id_.c_str(),
                      offset_, size_, maxChunkSize_);
        return kNothing;
    }
    if (size_ != -1 && registry_.findFile(id_)) {
        if (fd_ >= 0 && openId_ != id_) {
            // The open file belongs to another print job; serving from it
            // would hand the host the wrong job's bytes.
            close();
        }
        if (fd_ < 0) openFile();
        haveBytes = readInto(offset_, size_, chunk_) && !chunk_.empty();
    }
    if (!haveBytes) {
        CZS_LOG_ERROR("createResponse", "base64 chunk is empty\n");
        return kNothing;
    }
    return buildResponse(chunk_);
}

const std::vector<uint8_t>& ChunkPerformer::buildResponse(const std::vector<uint8_t>& bytes) {
    // The response is serialised with an empty "chunk" and the chunk's base64
    // text is spliced in while the payload is encoded. Base64 text never
    // needs JSON escaping, so the result is byte for byte what serialising
    // the complete message would give, without walking the large string
    // through the JSON escaper (the slowest step by far).
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", nlohmann::json{{"chunk", ""}, {"id", id_}, {"offset", offset_}, {"size", size_}});
    const std::string text = msg.jsonValue().dump();
    static constexpr char kSlot[] = "\"data\":{\"chunk\":\"";
    const size_t slot = text.find(kSlot);
    if (slot == std::string::npos) {
        msg.setField("data", nlohmann::json{{"chunk", base64::encode(bytes)}, {"id", id_}, {"offset", offset_},
                                            {"size", size_}});
        payload_ = msg.serialize();
        return payload_;
    }
    const size_t cut = slot + sizeof kSlot - 1;
    const size_t jsonSize = text.size() + base64::encodedSize(bytes.size());
    payload_.resize(base64::encodedSize(jsonSize));  // every byte is overwritten below
    base64::StreamEncoder encoder(reinterpret_cast<char*>(payload_.data()));
    const auto* t = reinterpret_cast<const uint8_t*>(text.data());
    encoder.update(t, cut);
    char chars[base64::encodedSize(kEncodeStep)];
    for (size_t at = 0; at < bytes.size(); at += kEncodeStep) {
        const size_t n = std::min(kEncodeStep, bytes.size() - at);
        base64::encode(bytes.data() + at, n, chars);
        encoder.update(reinterpret_cast<const uint8_t*>(chars), base64::encodedSize(n));
    }
    encoder.update(t + cut, text.size() - cut);
    encoder.finish();
    return payload_;
}

void ChunkPerformer::openFile() {
    const auto path = registry_.findFile(id_);
    if (!path) return;
    // O_NONBLOCK: opening a FIFO must not hang the daemon before the
    // regular-file check below rejects it.
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        CZS_LOG_ERROR("openFile", "Unable to open file %s\n", path->c_str());
        return;
    }
    // The size is recorded only for a file that did open, so a failed open
    // never looks like an open file.
    fd_ = fd;
    openId_ = id_;
    fileSize_ = st.st_size;
    openTime_ = std::chrono::system_clock::now();
}

std::vector<uint8_t> ChunkPerformer::read(int32_t offset, int32_t count) {
    std::vector<uint8_t> buffer;
    if (!readInto(offset, count, buffer)) buffer.clear();
    return buffer;
}

bool ChunkPerformer::readInto(int32_t offset, int32_t count, std::vector<uint8_t>& buffer) {
    if (fd_ < 0) {
        CZS_LOG_ERROR("read", "Unable to read chunk\n");
        return false;
    }
    if (offset < 0 || count < 0) return false;
    buffer.resize(static_cast<size_t>(count));
    size_t got = 0;
    bool atEnd = false;
    while (got < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + got, buffer.size() - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            CZS_LOG_ERROR("read", "Unable to read chunk at offset %d: %s\n", offset, std::strerror(errno));
            close();
            return false;
        }
        if (n == 0) {
            atEnd = true;
            break;
        }
        got += static_cast<size_t>(n);
    }
    // Bytes past the end of the file are zero: the chunk always has `count` bytes.
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got), buffer.end(), uint8_t{0});
    if (atEnd || int64_t{offset} + count == fileSize_) close();
    return true;
}

void ChunkPerformer::close() {
    fileSize_ = 0;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openId_.clear();
    closeTime_ = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(closeTime_ - openTime_).count();
    CZS_LOG_INFO("close", "Overall time was %lld\n", static_cast<long long>(ms));
}

}  // namespace czs
