#include <gtest/gtest.h>

#include <vector>

#include "LogCapture.h"
#include "mount/FolderRequest.h"

namespace qmss {
namespace {

using test::LogCapture;

std::optional<FolderRequest> parse(const std::vector<uint8_t>& b) {
    return parse_folder_request(b);
}

TEST(ParseFolderRequest, DecodesTheLayout) {
    LogCapture log;
    // total 10, N 5, "share", op 1 (mount); written out by hand.
    auto r = parse({0x0a, 0x00, 0x05, 0x00, 's', 'h', 'a', 'r', 'e', 0x01});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->folder, "share");
    EXPECT_EQ(r->op, 1);
    // Name length little-endian, bytes after the op ignored, unknown op kept.
    std::vector<uint8_t> b = {0x09, 0x00, 0x04, 0x00, 'a', '/', 'b', '/', 0x07, 0xee, 0xff};
    r = parse(b);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->folder, "a/b/");
    EXPECT_EQ(r->op, 7);
    // Empty name; a total-length field smaller than the block is fine.
    r = parse({0x00, 0x00, 0x00, 0x00, 0x02});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->folder, "");
    EXPECT_EQ(r->op, 2);
    // A 300-byte name: N spans both bytes.
    std::vector<uint8_t> big = {0x31, 0x01, 0x2c, 0x01};
    big.insert(big.end(), 300, 'x');
    big.push_back(0x00);
    r = parse(big);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->folder, std::string(300, 'x'));
    EXPECT_EQ(r->op, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ParseFolderRequest, RejectsEveryShortBlock) {
    LogCapture log;
    std::vector<uint8_t> good = {0x0a, 0x00, 0x05, 0x00, 's', 'h', 'a', 'r', 'e', 0x01};
    // Every proper prefix of a valid request is rejected with its length.
    for (size_t n = 0; n < good.size(); ++n) {
        log.clear();
        EXPECT_FALSE(parse_folder_request(std::span<const uint8_t>(good).first(n))) << n;
        EXPECT_TRUE(log.has(LogLevel::Error, "Invalid message length " + std::to_string(n) + "\n")) << n;
    }
    // Total length larger than the block.
    log.clear();
    EXPECT_FALSE(parse({0x0b, 0x00, 0x05, 0x00, 's', 'h', 'a', 'r', 'e', 0x01}));
    EXPECT_TRUE(log.has(LogLevel::Error, "Invalid message length 10\n"));
    // Name length that leaves no room for the op byte.
    EXPECT_FALSE(parse({0x06, 0x00, 0x02, 0x00, 'a', 'b'}));
    EXPECT_FALSE(parse({0x06, 0x00, 0xff, 0xff, 'a', 'b'}));
}

}  // namespace
}  // namespace qmss
