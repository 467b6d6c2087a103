#include "task/ChunkPerformer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <runtime/Log.h>
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

}  // namespace

ChunkPerformer::ChunkPerformer(PrintFileRegistry& registry, int32_t maxChunkSize, std::string spoolDir)
    : registry_(registry), maxChunkSize_(maxChunkSize), spool_(std::move(spoolDir)) {}

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

Reply ChunkPerformer::createResponse() {
    if (size_ != -1 && (!numbersValid_ || size_ < 0 || offset_ < 0 || size_ > maxChunkSize_)) {
        // A negative size would ask for a huge buffer, a negative offset for
        // a failed seek; an oversized one could exhaust memory.
        ORV_LOG(Error, "rejecting request for %s: offset=%d size=%d (maximum %d)\n", id_.c_str(), offset_, size_,
                maxChunkSize_);
        return {};
    }
    std::vector<uint8_t> bytes;
    bool haveBytes = false;
    if (size_ != -1 && registry_.findFile(id_)) {
        if (fd_ && openId_ != id_) {
            // The open file belongs to another print job; serving from it
            // would hand the host the wrong job's bytes.
            close();
        }
        if (!fd_) openFile();
        bytes = buffers_->take();
        haveBytes = readInto(offset_, size_, bytes) && !bytes.empty();
    } else if (size_ > 0 && pastEndOfFinished(id_, offset_)) {
        bytes = buffers_->take();
        bytes.assign(static_cast<size_t>(size_), uint8_t{0});
        haveBytes = true;
        reachedEnd_ = false;  // nothing is open that could end again
    }
    if (!haveBytes) {
        ORV_LOG(Error, "base64 chunk is empty\n");
        if (bytes.capacity() != 0) buffers_->giveBack(std::move(bytes));
        return {};
    }
    if (reachedEnd_) {
        // The host has asked for the last byte: the file is done with. The
        // bytes of this answer are already read.
        const std::string id = openId_;
        finished_.emplace_back(id, fileSize_);
        if (finished_.size() > kFinishedMemory) finished_.pop_front();
        close();
        registry_.fileFetched(id, [this](const SpoolFile& file) { spool_.remove(file); });
    }
    return buildResponse(std::move(bytes));
}

bool ChunkPerformer::pastEndOfFinished(const std::string& id, int32_t offset) const {
    for (const auto& [doneId, size] : finished_) {
        if (doneId == id) return int64_t{offset} >= size;
    }
    return false;
}

Reply ChunkPerformer::buildResponse(std::vector<uint8_t> bytes) {
    auto producer = ChunkFrameProducer::forResponse(id_, offset_, std::move(bytes), buffers_);
    if (!producer) {
        // Only a change of the message layout could get here; send nothing
        // rather than a malformed frame.
        ORV_LOG_AS(Error, "createResponse", "response layout unexpected, nothing sent\n");
        return {};
    }
    if (producer->size() == 0) {
        ORV_LOG_AS(Error, "createFrame", "payload does not fit in a frame\n");
        return {};
    }
    return Reply::produced(std::move(producer));
}

void ChunkPerformer::openFile() {
    const auto path = registry_.findFile(id_);
    if (!path) return;
    // O_NONBLOCK: opening a FIFO must not hang the daemon before the
    // regular-file check below rejects it.
    orv::UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ORV_LOG_AS(Error, "openFile", "Unable to open file %s\n", path->c_str());
        return;
    }
    // A spool file is read once, front to back, and removed once fetched:
    // read ahead, and leave the page cache's notion of what is in use alone.
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_NOREUSE);
    // The size is recorded only for a file that did open, so a failed open
    // never looks like an open file.
    fd_ = std::move(fd);
    openId_ = id_;
    // The host asked for it, so it has the announcement.
    registry_.markAnnounced(id_);
    fileSize_ = st.st_size;
    openTime_ = std::chrono::system_clock::now();
}

bool ChunkPerformer::readInto(int32_t offset, int32_t count, std::vector<uint8_t>& buffer) {
    reachedEnd_ = false;
    if (!fd_) {
        ORV_LOG_AS(Error, "read", "Unable to read chunk\n");
        return false;
    }
    if (offset < 0 || count < 0) return false;
    buffer.resize(static_cast<size_t>(count));
    size_t got = 0;
    bool atEnd = false;
    while (got < buffer.size()) {
        const ssize_t n = ::pread(fd_.get(), buffer.data() + got, buffer.size() - got,
                                  static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            ORV_LOG_AS(Error, "read", "Unable to read chunk at offset %d: %s\n", offset, std::strerror(errno));
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
    reachedEnd_ = atEnd || int64_t{offset} + count >= fileSize_;
    return true;
}

void ChunkPerformer::close() {
    fileSize_ = 0;
    fd_.reset();
    openId_.clear();
    closeTime_ = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(closeTime_ - openTime_).count();
    ORV_LOG(Info, "Overall time was %lld\n", static_cast<long long>(ms));
}

}  // namespace czs
