#include "SampleChecker.h"

#include "Pattern.h"
#include "WireCodec.h"

namespace hostsim {

SampleChecker::SampleChecker(bool patternCheck, Report onError)
    : patternCheck_(patternCheck), onError_(std::move(onError)), thread_([this] { run(); }) {}

SampleChecker::~SampleChecker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SampleChecker::check(std::vector<uint8_t> frame, std::string id, uint64_t offset, uint32_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < kMaxQueued; });
    queue_.push_back({std::move(frame), std::move(id), offset, size});
    changed_.notify_all();
}

void SampleChecker::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void SampleChecker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping, and nothing left to check
        }
        Sample s = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        changed_.notify_all();
        lock.unlock();
        verify(s);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void SampleChecker::verify(const Sample& s) {
    const std::string at = "chunk at offset " + std::to_string(s.offset);
    std::string why;
    const auto m = wire::decode(s.frame, why);
    if (!m || m->type != wire::kTypeMessage) {
        onError_(at + ": bad frame from the daemon: " + (m ? "not a message" : why));
        return;
    }
    if (m->method() != "sendfile" || m->kind() != "response" || !m->json.contains("data") ||
        !m->json["data"].is_object()) {
        onError_(at + ": not a chunk response");
        return;
    }
    const nlohmann::json& data = m->json["data"];
    try {
        if (data.value("id", std::string()) != s.id || data.value("offset", int64_t{-1}) != int64_t(s.offset) ||
            data.value("size", int64_t{-1}) != int64_t(s.size)) {
            onError_(at + ": the response names another chunk");
            return;
        }
        const std::string& chunk = data.at("chunk").get_ref<const std::string&>();
        const auto bytes = wire::base64Decode(chunk);
        if (!bytes || bytes->size() != s.size) {
            onError_(at + " does not decode to the " + std::to_string(s.size) + " bytes asked for");
            return;
        }
        if (patternCheck_) {
            std::vector<uint8_t> want(s.size);
            fillPattern(want.data(), s.offset, s.size);
            if (want != *bytes) {
                onError_(at + " differs from the expected content");
            }
        }
    } catch (const nlohmann::json::exception& e) {
        onError_(at + ": " + e.what());
    }
}

}  // namespace hostsim
