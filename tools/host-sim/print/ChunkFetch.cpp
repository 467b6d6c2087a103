// Chunk fetching: each announced file is pulled from the daemon chunk by
// chunk, checked, written out and fingerprinted; chunks asked for by hand
// ("request") are matched here too. In benchmark mode most chunk responses
// stream past unread and are only recognised by their last bytes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "HostSim.h"
#include "Pattern.h"
#include "WireCodec.h"

namespace hostsim {

namespace {

// Reads a decimal member `"key":N` out of a JSON text fragment.
bool scanNumber(const std::string& text, const std::string& key, long long& value) {
    auto pos = text.rfind("\"" + key + "\":");
    if (pos == std::string::npos) {
        return false;
    }
    return std::sscanf(text.c_str() + pos + key.size() + 3, "%lld", &value) == 1;
}

}  // namespace

// A frame is skipped when it is a chunk response that this run does not
// check in full: large, during a transfer, and not the sampled one.
bool HostSim::startSkipping() {
    if (!s_.bench || skipLeft_ > 0 || transfers_.empty() || transfers_.front().outstanding.empty() ||
        transfers_.front().outstanding.front().seq % s_.sampleEvery == 0) {
        return false;
    }
    const std::span<const uint8_t> unread = splitter_.unread();
    const uint8_t* p = unread.data();
    const std::size_t have = unread.size();
    if (have < wire::kHeader || std::memcmp(p, "ZEFA", 4) != 0) {
        return false;
    }
    const std::size_t payload = (std::size_t{p[6]} << 24) | (std::size_t{p[7]} << 16) | (std::size_t{p[8]} << 8) | p[9];
    const std::size_t total = wire::kHeader + payload + wire::kTrailer;
    if (total <= 4096 || payload > kMaxPayload) {
        return false;
    }
    skipTotal_ = skipLeft_ = total;
    skipTailLen_ = 0;
    const std::size_t n = std::min(have, total);
    splitter_.advance(n);
    skip(unread.first(n));
    return true;
}

void HostSim::skip(std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    const std::size_t n = bytes.size();
    if (n >= kTailKept) {
        std::memcpy(skipTail_, data + n - kTailKept, kTailKept);
        skipTailLen_ = kTailKept;
    } else {
        const std::size_t keep = std::min(skipTailLen_, kTailKept - n);
        std::memmove(skipTail_, skipTail_ + skipTailLen_ - keep, keep);
        std::memcpy(skipTail_ + keep, data, n);
        skipTailLen_ = keep + n;
    }
    skipLeft_ -= n;
    if (skipLeft_ == 0) {
        recognise(std::span(skipTail_, skipTailLen_), skipTotal_);
    }
}

// Recognises a chunk response from the last bytes of its frame: the tail of
// the payload names method, type, offset and size.
void HostSim::recognise(std::span<const uint8_t> tail, std::size_t frameSize) {
    const std::size_t tailLen = tail.size();
    const std::size_t payloadLen = frameSize - wire::kHeader - wire::kTrailer;
    const std::size_t tailChars = std::min<std::size_t>(payloadLen, 160) / 4 * 4;
    std::optional<std::vector<uint8_t>> decoded;
    if (tailLen >= tailChars + wire::kTrailer && tail[tailLen - 1] == 0x0A) {
        decoded = wire::base64Decode(tail.subspan(tailLen - wire::kTrailer - tailChars, tailChars));
    }
    const std::string text = decoded ? std::string(decoded->begin(), decoded->end()) : std::string();
    long long off = -1, size = -1;
    if (text.find("\"method\":\"sendfile\",\"type\":\"response\"}") == std::string::npos ||
        !scanNumber(text, "offset", off) || !scanNumber(text, "size", size)) {
        error("unrecognised frame of " + std::to_string(frameSize) + " bytes during a transfer");
        return;
    }
    onResponse(frameSize, false, nlohmann::json{{"id", transfers_.front().id}, {"offset", off}, {"size", size}});
}

void HostSim::announce(const nlohmann::json& data) {
    out("announce " + data.dump());
    if (!data.is_object() || !data.contains("id") || !data["id"].is_string()) {
        error("announcement without an id");
        return;
    }
    Transfer t;
    t.id = data["id"].get<std::string>();
    if (data.contains(s_.sizeKey) && data[s_.sizeKey].is_number_unsigned()) {
        t.size = data[s_.sizeKey].get<uint64_t>();
    } else if (s_.bench) {
        error("announcement without a \"" + s_.sizeKey + "\" member; benchmark mode needs the size");
        return;
    } else {
        t.sizeKnown = false;
        t.size = UINT64_MAX;
        out("no \"" + s_.sizeKey + "\" in the announcement of " + t.id +
            ": the file ends where the zero padding begins");
    }
    if (!s_.bench) {
        t.path = s_.outDir + "/" + t.id;
        t.fd = ::open(t.path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (t.fd < 0) {
            error("cannot create " + t.path + ": " + std::strerror(errno));
            return;
        }
    }
    transfers_.push_back(std::move(t));
    // The daemon serves one open file at a time, so files are pulled one
    // after the other.
    if (transfers_.size() == 1) {
        pump();
    }
}

void HostSim::pump() {
    while (!transfers_.empty()) {
        Transfer& t = transfers_.front();
        if (t.next == 0 && t.outstanding.empty()) {
            t.start = std::chrono::steady_clock::now();
        }
        if (t.received == t.size && t.outstanding.empty()) {
            finish(t);
            transfers_.pop_front();
            continue;
        }
        // Guessing the end needs each answer before the next question.
        const std::size_t window = t.sizeKnown ? s_.inflight : 1;
        while (t.outstanding.size() < window && t.next < t.size) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(s_.chunk, t.size - t.next));
            nlohmann::json req = {{"id", t.id}, {"offset", t.next}, {"size", n}};
            t.outstanding.push_back({t.next, n, seq_++});
            t.next += n;
            sendMessage("sendfile", "request", &req);
        }
        return;
    }
}

bool HostSim::takeManualResponse(std::size_t frameLen, bool decoded, const nlohmann::json& data) {
    if (manual_.empty() || !data.is_object()) {
        return false;
    }
    const std::string id = data.value("id", std::string());
    const long long offset = data.value("offset", -1LL);
    const long long size = data.value("size", -1LL);
    auto it = std::find_if(manual_.begin(), manual_.end(),
                           [&](const Manual& m) { return m.id == id && m.offset == offset && m.size == size; });
    if (it == manual_.end()) {
        return false;
    }
    // The daemon answers in order: requests before this one got no answer.
    manual_.erase(manual_.begin(), it + 1);
    if (decoded) {
        const std::string chunk = data.value("chunk", std::string());
        const auto bytes = wire::base64Decode(chunk);
        if (!bytes || static_cast<long long>(bytes->size()) != size) {
            error("chunk response for " + id + " at offset " + std::to_string(offset) + " does not decode to " +
                  std::to_string(size) + " bytes");
            return true;
        }
    }
    out("response id=" + id + " offset=" + std::to_string(offset) + " size=" + std::to_string(size) +
        " frame=" + std::to_string(frameLen));
    return true;
}

void HostSim::onResponse(std::size_t frameLen, bool decoded, const nlohmann::json& data) {
    try {
        // A transfer's own request comes first when both asked for the same piece.
        const bool forTransfer =
            !transfers_.empty() && !transfers_.front().outstanding.empty() && data.is_object() &&
            data.value("id", std::string()) == transfers_.front().id &&
            data.value("offset", int64_t{-1}) == static_cast<int64_t>(transfers_.front().outstanding.front().offset);
        if (!forTransfer && takeManualResponse(frameLen, decoded, data)) {
            return;
        }
    } catch (const std::exception& e) {
        error(std::string("bad chunk response: ") + e.what());
        return;
    }
    if (transfers_.empty() || transfers_.front().outstanding.empty()) {
        error("chunk response nobody asked for (" + std::to_string(frameLen) + " bytes)");
        return;
    }
    Transfer& t = transfers_.front();
    Pending p = t.outstanding.front();
    t.outstanding.pop_front();
    try {
        if (!data.is_object() || data.value("id", std::string()) != t.id ||
            data.value("offset", int64_t{-1}) != static_cast<int64_t>(p.offset) ||
            data.value("size", int64_t{-1}) != static_cast<int64_t>(p.size)) {
            error("chunk response " + data.dump().substr(0, 200) + " does not match the request at offset " +
                  std::to_string(p.offset));
            return;
        }
        if (decoded) {
            switch (storeChunk(t, p, data)) {
                case ChunkOutcome::Failed:
                    return;
                case ChunkOutcome::FileEnded:
                    pump();
                    return;
                case ChunkOutcome::Stored:
                    break;
            }
        }
    } catch (const std::exception& e) {
        error(std::string("bad chunk response: ") + e.what());
        return;
    }
    t.received += p.size;
    ++t.chunks;
    pump();
}

// Decodes a chunk the current transfer asked for, checks it, and writes it
// out. Without a size in the announcement an all-zero chunk ends the file.
HostSim::ChunkOutcome HostSim::storeChunk(Transfer& t, const Pending& p, const nlohmann::json& data) {
    const std::string chunk = data.value("chunk", std::string());
    const auto decodedChunk = wire::base64Decode(chunk);
    const std::vector<uint8_t> bytes = decodedChunk ? *decodedChunk : std::vector<uint8_t>();
    if (!decodedChunk || bytes.size() != p.size) {
        error("chunk at offset " + std::to_string(p.offset) + " decodes to " + std::to_string(bytes.size()) +
              " bytes, asked for " + std::to_string(p.size));
        return ChunkOutcome::Failed;
    }
    if (s_.patternCheck) {
        std::vector<uint8_t> want(p.size);
        fillPattern(want.data(), p.offset, p.size);
        if (want != bytes) {
            error("chunk at offset " + std::to_string(p.offset) + " differs from the expected content");
        }
    }
    if (!t.sizeKnown) {
        auto last = std::find_if(bytes.rbegin(), bytes.rend(), [](uint8_t b) { return b != 0; });
        if (last == bytes.rend()) {
            // Nothing but padding: the file ended before this chunk.
            t.size = t.dataEnd;
            t.next = t.size;
            t.received = t.size;
            t.outstanding.clear();
            return ChunkOutcome::FileEnded;
        }
        t.dataEnd = p.offset + static_cast<uint64_t>(bytes.rend() - last);
    }
    if (!s_.bench) {
        if (t.sizeKnown) {
            t.sha.update(bytes);
        }
        if (::pwrite(t.fd, bytes.data(), bytes.size(), static_cast<off_t>(p.offset)) !=
            static_cast<ssize_t>(bytes.size())) {
            error("cannot write " + t.path + ": " + std::strerror(errno));
        }
    }
    return ChunkOutcome::Stored;
}

void HostSim::finish(Transfer& t) {
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t.start).count();
    if (!t.sizeKnown && t.fd >= 0) {
        // Cut the padding off and fingerprint what is left.
        if (::ftruncate(t.fd, static_cast<off_t>(t.size)) != 0) {
            error("cannot truncate " + t.path);
        }
        std::vector<uint8_t> buf(1 << 20);
        for (uint64_t off = 0; off < t.size;) {
            ssize_t n =
                ::pread(t.fd, buf.data(), static_cast<std::size_t>(std::min<uint64_t>(buf.size(), t.size - off)),
                        static_cast<off_t>(off));
            if (n <= 0) {
                error("cannot read back " + t.path);
                break;
            }
            t.sha.update(std::span(buf.data(), static_cast<std::size_t>(n)));
            off += static_cast<uint64_t>(n);
        }
    }
    if (t.fd >= 0) {
        ::close(t.fd);
        t.fd = -1;
    }
    char line[512];
    std::snprintf(
        line, sizeof line, "file id=%s size=%" PRIu64 " sha256=%s chunks=%" PRIu64 " seconds=%.3f MB/s=%.1f%s%s",
        t.id.c_str(), t.size, s_.bench ? "-" : t.sha.hex().c_str(), t.chunks, secs,
        secs > 0 ? static_cast<double>(t.size) / 1e6 / secs : 0.0, t.path.empty() ? "" : " path=", t.path.c_str());
    out(line);
    ++filesDone_;
}

}  // namespace hostsim
