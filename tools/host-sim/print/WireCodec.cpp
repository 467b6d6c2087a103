#include "WireCodec.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace hostsim::wire {

std::vector<uint8_t> frame(const std::string& payload, uint16_t type) {
    std::vector<uint8_t> f = {'Z', 'E', 'F', 'A', static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    const auto n = static_cast<uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        f.push_back(static_cast<uint8_t>(n >> shift));
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), {0, 0, 0x0A});
    return f;
}

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(std::max(written, 0)));
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::span<const uint8_t> text) {
    const std::size_t n = text.size();
    if (n % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out(n / 4 * 3);
    if (n == 0) return out;
    std::size_t pad = 0;
    while (pad < 2 && text[n - 1 - pad] == '=')
        ++pad;
    // EVP_DecodeBlock accepts padding only as padding, but also tolerates
    // surrounding blanks; the daemon never sends those, so refuse them.
    for (std::size_t i = 0; i < n - pad; ++i) {
        const uint8_t c = text[i];
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok) return std::nullopt;
    }
    const int got = EVP_DecodeBlock(out.data(), text.data(), static_cast<int>(n));
    if (got < 0 || static_cast<std::size_t>(got) != out.size()) return std::nullopt;
    out.resize(out.size() - pad);
    return out;
}

std::string Message::method() const {
    return json.is_object() && json.contains("method") && json["method"].is_string() ? json["method"].get<std::string>()
                                                                                     : std::string();
}

std::string Message::kind() const {
    return json.is_object() && json.contains("type") && json["type"].is_string() ? json["type"].get<std::string>()
                                                                                 : std::string();
}

std::optional<Message> decode(std::span<const uint8_t> f, std::string& why) {
    const std::size_t n = f.size();
    if (n < kHeader + kTrailer || std::memcmp(f.data(), "ZEFA", 4) != 0) {
        why = "not a frame";
        return std::nullopt;
    }
    const std::size_t len = (std::size_t{f[6]} << 24) | (std::size_t{f[7]} << 16) | (std::size_t{f[8]} << 8) | f[9];
    if (len + kHeader + kTrailer != n) {
        why = "length field " + std::to_string(len) + " does not match a frame of " + std::to_string(n) + " bytes";
        return std::nullopt;
    }
    if (f[n - 3] != 0 || f[n - 2] != 0 || f[n - 1] != 0x0A) {
        why = "bad check field or end byte";
        return std::nullopt;
    }
    Message m;
    m.type = static_cast<uint16_t>((f[4] << 8) | f[5]);
    if (m.type != kTypeMessage) return m;
    const auto text = base64Decode(f.subspan(kHeader, len));
    if (!text) {
        why = "payload is not base64";
        return std::nullopt;
    }
    m.json = nlohmann::json::parse(text->begin(), text->end(), nullptr, false);
    if (m.json.is_discarded() || !m.json.is_object()) {
        why = "payload is not a JSON object";
        return std::nullopt;
    }
    // The daemon writes compact JSON with sorted keys; anything else means
    // its message layer was bypassed.
    if (m.json.dump() != std::string(text->begin(), text->end())) {
        why = "payload is not the compact JSON text";
        return std::nullopt;
    }
    return m;
}

FrameSplitter::FrameSplitter(std::size_t maxPayload, DropReport onDrop)
    : maxPayload_(maxPayload), onDrop_(std::move(onDrop)) {}

void FrameSplitter::append(std::span<const uint8_t> bytes) {
    if (at_ != 0 && at_ == buffer_.size()) clear();
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void FrameSplitter::drop(std::size_t n, const char* why) {
    at_ += n;
    if (onDrop_) onDrop_(n, why);
}

bool FrameSplitter::next(std::vector<uint8_t>& out) {
    for (;;) {
        const uint8_t* p = buffer_.data() + at_;
        const std::size_t have = buffer_.size() - at_;
        if (have < 4) return false;
        if (std::memcmp(p, "ZEFA", 4) != 0) {
            static const char kSof[] = "ZEFA";
            const uint8_t* sof = std::search(p + 1, p + have, kSof, kSof + 4);
            // Keep a partial "ZEF" at the end: it may complete later.
            std::size_t skip = static_cast<std::size_t>(sof - p);
            if (sof == p + have) skip = have - 3;
            drop(skip, "no frame start");
            continue;
        }
        if (have < kHeader) return false;
        const std::size_t len = (std::size_t{p[6]} << 24) | (std::size_t{p[7]} << 16) | (std::size_t{p[8]} << 8) | p[9];
        if (len > maxPayload_) {
            drop(4, "length beyond the largest frame");
            continue;
        }
        if (have < kHeader + len + kTrailer) return false;
        const std::size_t total = kHeader + len + kTrailer;
        if (p[total - 1] != 0x0A) {
            drop(4, "frame does not end with 0x0A");
            continue;
        }
        out.assign(p, p + total);
        at_ += total;
        if (at_ > (1u << 20) && at_ * 2 > buffer_.size()) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
            at_ = 0;
        }
        return true;
    }
}

}  // namespace hostsim::wire
