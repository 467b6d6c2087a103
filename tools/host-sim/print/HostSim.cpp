// The simulator's channel side: bytes in and frames out, the trace, and the
// dispatch of each message from the daemon to the role that handles it.
#include "HostSim.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "WireCodec.h"

namespace hostsim {

void out(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

HostSim::HostSim(Settings settings, Writer writer)
    : s_(std::move(settings)),
      writer_(std::move(writer)),
      splitter_(kMaxPayload,
                [this](std::size_t n, const char* why) {
                    error("dropped " + std::to_string(n) + " bytes from the daemon: " + why);
                }),
      gate_([](std::size_t held) { out("reading paused, holding " + std::to_string(held) + " bytes"); }) {
    if (s_.bench) {
        checker_ = std::make_unique<SampleChecker>(s_.patternCheck, [this](const std::string& what) { error(what); });
    }
}

void HostSim::error(const std::string& what) {
    ++errors_;
    std::fprintf(stderr, "host-sim: error: %s\n", what.c_str());
    std::fflush(stderr);
}

void HostSim::finishChecks() {
    if (checker_) {
        checker_->finish();
    }
}

bool HostSim::done() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return s_.exitAfterFiles >= 0 && filesDone_ >= s_.exitAfterFiles;
}

void HostSim::onConnected() {
    out("connected");
}

void HostSim::onDisconnected() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    out("disconnected");
    splitter_.clear();
    for (auto& t : transfers_) {
        if (t.fd >= 0) {
            ::close(t.fd);
        }
        error("transfer of " + t.id + " cut at " + std::to_string(t.received) + " of " + std::to_string(t.size) +
              " bytes");
    }
    transfers_.clear();
    manual_.clear();
}

void HostSim::onBytes(std::span<const uint8_t> bytes) {
    // Before the lock: commands (resume among them) must still get through.
    gate_.pass(bytes.size());
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    while (!bytes.empty()) {
        if (skipLeft_ > 0) {
            const std::size_t n = std::min(bytes.size(), skipLeft_);
            skip(bytes.first(n));
            bytes = bytes.subspan(n);
            continue;
        }
        splitter_.append(bytes);
        bytes = {};
        while (startSkipping() || splitter_.next(frame_)) {
            if (!frame_.empty()) {
                onFrame(frame_);
                frame_.clear();
            }
        }
    }
}

void HostSim::traceFrame(const char* dir, std::span<const uint8_t> frame) {
    std::ostringstream line;
    line << dir << " frame " << frame.size() << " bytes";
    std::string why;
    auto m = wire::decode(frame, why);
    if (!m) {
        line << " undecodable (" << why << ")";
    } else {
        line << " type " << m->type;
        if (m->type == wire::kTypeMessage) {
            nlohmann::json j = m->json;
            if (j.contains("data") && j["data"].is_object() && j["data"].contains("chunk") &&
                j["data"]["chunk"].is_string()) {
                std::string c = j["data"]["chunk"].get<std::string>();
                if (c.size() > 24) {
                    j["data"]["chunk"] = c.substr(0, 24) + "...(" + std::to_string(c.size()) + " chars)";
                }
            }
            line << " " << j.dump();
        }
    }
    out(line.str());
}

void HostSim::sendRaw(const std::vector<uint8_t>& bytes) {
    if (!writer_(bytes.data(), bytes.size())) {
        error("write of " + std::to_string(bytes.size()) + " bytes to the daemon failed");
    }
}

void HostSim::sendMessage(const std::string& method, const std::string& type, const nlohmann::json* data) {
    nlohmann::json j = {{"context", "cups"}, {"method", method}, {"type", type}};
    if (data) {
        j["data"] = *data;
    }
    auto f = wire::frame(wire::base64Encode(j.dump()));
    if (s_.trace) {
        traceFrame(">>", f);
    }
    sendRaw(f);
}

void HostSim::onFrame(const std::vector<uint8_t>& frame) {
    // In benchmark mode most chunk responses are only recognised, not decoded:
    // the tail of the payload names method, type, offset and size.
    // The sampled ones are copied to the checker, which decodes them in full.
    if (s_.bench && !transfers_.empty() && !transfers_.front().outstanding.empty() && frame.size() > 4096) {
        const Pending& p = transfers_.front().outstanding.front();
        if (p.seq % s_.sampleEvery == 0) {
            checker_->check(frame, transfers_.front().id, p.offset, p.size);
        }
        const std::size_t tail = std::min(frame.size(), kTailKept);
        recognise(std::span(frame).last(tail), frame.size());
        return;
    }
    if (s_.trace) {
        traceFrame("<<", frame);
    }
    std::string why;
    const auto m = wire::decode(frame, why);
    if (!m) {
        error("bad frame from the daemon: " + why);
        return;
    }
    if (m->type != wire::kTypeMessage) {
        error("frame of type " + std::to_string(m->type) + " carries no message");
        return;
    }
    if (m->json.value("context", std::string()) != "cups") {
        error("message without the cups context: " + m->json.dump().substr(0, 200));
        return;
    }
    const std::string method = m->method();
    const std::string type = m->kind();
    const nlohmann::json data = m->json.contains("data") ? m->json["data"] : nlohmann::json();
    if (method == "discovery" && type == "request") {
        answerDiscovery();
        return;
    }
    if (method == "sendfile" && type == "notification") {
        announce(data);
        return;
    }
    if (method == "sendfile" && type == "response") {
        onResponse(frame.size(), true, data);
        return;
    }
    error("unexpected message method " + method + " type " + type);
}

}  // namespace hostsim
