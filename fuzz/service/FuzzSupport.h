// Shared pieces of the print daemon's handler and printer fuzz targets: a
// quiet log, a scratch directory, an environment in which CUPS and systemd
// are unreachable, and an independent reader for the frames the daemon sends.
#pragma once

#include "ScratchDir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <liblog/logs_cli.h>
#include <runtime/LogSinks.h>
#include <nlohmann/json.hpp>

namespace czs::fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

inline void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Every rejected input is logged; by default the lines go nowhere so the
// fuzzer's own output stays readable. CZS_FUZZ_LOG=<path> keeps them.
inline void quietLog() {
    static char devNull[] = "/dev/null";
    static std::string path;
    const char* wanted = std::getenv("CZS_FUZZ_LOG");
    path = wanted != nullptr ? wanted : "";
    log_config config;
    log_config_defaults(&config);
    config.path = path.empty() ? devNull : path.data();
    config.max_size = 0;
    log_open(&config);
    static orv::LiblogFileSink sink;  // the daemon's lines into that file
    orv::setLogSink(&sink);
}

inline std::string scratchDir() {
    return fuzzing::scratchDir("/tmp/czs-fuzz");
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write scratch file");
}

// Printer updates talk to CUPS and run `systemctl`; neither may reach the
// machine's real services. libcups is pointed at a socket that does not
// exist, so every request fails at once and is only logged, and a
// `systemctl` that always answers "not installed" goes first on PATH.
inline void isolateFromSystem() {
    ::setenv("CUPS_SERVER", "/nonexistent/czs-fuzz/cups.sock", 1);
    ::setenv("HOME", "/nonexistent/czs-fuzz", 1);  // no per-user lpoptions
    const std::string bin = scratchDir();
    const std::string tool = bin + "/systemctl";
    writeFile(tool, "#!/bin/sh\nexit 1\n");
    if (::chmod(tool.c_str(), 0755) != 0) fail("chmod systemctl stand-in");
    const char* path = std::getenv("PATH");
    const std::string newPath = bin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    ::setenv("PATH", newPath.c_str(), 1);
}

// Base64 as the host reads it (standard alphabet, "=" padding only at the
// end); written here so the checks do not lean on the daemon's own codec.
inline std::optional<std::vector<uint8_t>> base64Decode(const uint8_t* in, size_t n) {
    if (n % 4 != 0) return std::nullopt;
    auto value = [](uint8_t c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(n / 4 * 3);
    for (size_t i = 0; i < n; i += 4) {
        const bool last = i + 4 == n;
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const uint8_t c = in[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad != 0) return std::nullopt;  // data after padding
            v[k] = value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out.push_back(uint8_t(bits >> 16));
        if (pad < 2) out.push_back(uint8_t(bits >> 8));
        if (pad < 1) out.push_back(uint8_t(bits));
    }
    return out;
}

// Checks that `frame` is one complete type-4 frame as the host expects it
// ("ZEFA", type 4, a length that matches, check field 0, end byte 0x0A) and
// returns the JSON message it carries. Aborts on any deviation.
inline nlohmann::json readReplyFrame(const uint8_t* frame, uint64_t size) {
    require(size >= 15, "reply frame shorter than the smallest valid frame");
    require(frame[0] == 'Z' && frame[1] == 'E' && frame[2] == 'F' && frame[3] == 'A', "reply starts with ZEFA");
    require(frame[4] == 0 && frame[5] == 4, "reply frame type is 4");
    const uint64_t length =
        (uint64_t(frame[6]) << 24) | (uint64_t(frame[7]) << 16) | (uint64_t(frame[8]) << 8) | uint64_t(frame[9]);
    require(length + 13 == size, "reply length field matches the frame size");
    require(frame[size - 3] == 0 && frame[size - 2] == 0, "reply check field is 0");
    require(frame[size - 1] == 0x0A, "reply ends with 0x0A");
    const auto text = base64Decode(frame + 10, length);
    require(text.has_value(), "reply payload is valid base64");
    nlohmann::json message = nlohmann::json::parse(text->begin(), text->end(), nullptr, false, false);
    require(!message.is_discarded(), "reply payload is JSON");
    require(message.is_object(), "reply message is an object");
    require(message.value("context", std::string()) == "cups", "reply context is cups");
    // A sent message is the compact text with sorted keys; anything else
    // would mean it was not produced by the JSON layer.
    require(message.dump() == std::string(text->begin(), text->end()), "reply payload is the compact JSON text");
    return message;
}

}  // namespace czs::fuzz
