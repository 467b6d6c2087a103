// Looked up against this machine's own database: root is in every passwd
// file, and the test's own user must round-trip by uid and by name.
#include <gtest/gtest.h>
#include <unistd.h>

#include "runtime/UserDatabase.h"

namespace {

TEST(UserDatabase, FindsRootByUidAndByName) {
    std::error_code ec;
    const auto byUid = orv::findUser(uid_t{0}, ec);
    ASSERT_TRUE(byUid.has_value()) << ec.message();
    EXPECT_EQ(byUid->name, "root");
    EXPECT_EQ(byUid->uid, 0u);
    EXPECT_EQ(byUid->gid, 0u);
    EXPECT_FALSE(byUid->dir.empty());

    const auto byName = orv::findUser(std::string("root"), ec);
    ASSERT_TRUE(byName.has_value()) << ec.message();
    EXPECT_EQ(byName->uid, 0u);
    EXPECT_EQ(byName->dir, byUid->dir);
}

TEST(UserDatabase, OwnUserRoundTrips) {
    std::error_code ec;
    const auto self = orv::findUser(::geteuid(), ec);
    ASSERT_TRUE(self.has_value()) << ec.message();
    const auto again = orv::findUser(self->name, ec);
    ASSERT_TRUE(again.has_value()) << ec.message();
    EXPECT_EQ(again->uid, static_cast<std::uint32_t>(::geteuid()));
    EXPECT_EQ(again->gid, self->gid);
}

TEST(UserDatabase, UnknownUserIsNothingWithoutAnError) {
    std::error_code ec = std::make_error_code(std::errc::io_error);  // must be cleared
    EXPECT_FALSE(orv::findUser(uid_t{4000000000u}, ec).has_value());
    EXPECT_FALSE(ec) << ec.message();
    ec = std::make_error_code(std::errc::io_error);
    EXPECT_FALSE(orv::findUser(std::string("no-such-user-orv-test"), ec).has_value());
    EXPECT_FALSE(ec) << ec.message();
}

}  // namespace
