// Helpers for the task tests: a private spool directory and a reader for the
// frames the tasks return.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "protocol/Base64.h"
#include "protocol/Reply.h"

namespace czs::test {

class TempSpool {
public:
    TempSpool() {
        char tmpl[] = "/tmp/czs-spool-XXXXXX";
        path_ = mkdtemp(tmpl);  // mode 0700, owned by us: a private spool
    }
    ~TempSpool() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempSpool(const TempSpool&) = delete;
    TempSpool& operator=(const TempSpool&) = delete;

    const std::string& path() const { return path_; }

    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string p = path_ + "/" + name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::string path_;
};

// The whole image of a reply; a produced one is drained in one piece.
inline std::vector<uint8_t> imageOf(Reply& reply) {
    if (reply.data() != nullptr) return {reply.data(), reply.data() + reply.size()};
    std::vector<uint8_t> image(static_cast<size_t>(reply.remaining()));
    EXPECT_EQ(reply.take(image), image.size());
    return image;
}

// The JSON text inside a task's reply frame; checks the framing by hand.
inline std::string frameJsonText(Reply& reply) {
    const std::vector<uint8_t> image = imageOf(reply);
    const uint8_t* f = image.data();
    const uint64_t n = image.size();
    EXPECT_GE(n, 15u);
    if (n < 15) return {};
    EXPECT_EQ(std::string(f, f + 4), "ZEFA");
    EXPECT_EQ(f[4], 0x00);
    EXPECT_EQ(f[5], 0x04);  // type 4
    const uint64_t len = (uint64_t{f[6]} << 24) | (uint64_t{f[7]} << 16) | (uint64_t{f[8]} << 8) | f[9];
    EXPECT_EQ(len, n - 13);
    EXPECT_EQ(f[n - 3], 0x00);  // check field zero
    EXPECT_EQ(f[n - 2], 0x00);
    EXPECT_EQ(f[n - 1], 0x0A);
    std::vector<uint8_t> text;
    EXPECT_TRUE(base64::decode(std::span(f + 10, n - 13), text));
    return std::string(text.begin(), text.end());
}

}  // namespace czs::test
