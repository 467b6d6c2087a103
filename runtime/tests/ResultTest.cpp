// Result's value/error split with move-only values, and the owners of
// directory streams: each descriptor is closed exactly once on every path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/DirStream.h"
#include "runtime/Result.h"
#include "runtime/UniqueFd.h"

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

orv::Result<orv::UniqueFd> openPath(const char* path, int flags) {
    int fd = ::open(path, flags | O_CLOEXEC);
    if (fd < 0) return orv::Error::lastErrno("open");
    return orv::UniqueFd(fd);
}

TEST(Result, SuccessHandsTheOwnedValueOnAndFailureKeepsCodeAndStep) {
    auto ok = openPath("/", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok.errnum(), 0);
    EXPECT_FALSE(ok.error());
    EXPECT_EQ(ok.context(), "");
    const int raw = ok->get();
    orv::UniqueFd taken = std::move(ok).value();
    EXPECT_EQ(taken.get(), raw);
    EXPECT_FALSE(ok->valid());  // moved out: the Result holds an empty descriptor
    taken.reset();
    EXPECT_FALSE(isOpen(raw));

    auto missing = openPath("/nonexistent/for/sure", O_RDONLY);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.errnum(), ENOENT);
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(missing.context(), "open");
}

orv::Result<void> step(int errnum, const char* name) {
    if (errnum != 0) return orv::Error::fromErrno(errnum, name);
    return {};
}

TEST(Result, VoidResultCarriesOnlyTheOutcome) {
    orv::Result<void> r = step(0, "write");
    EXPECT_TRUE(r);
    EXPECT_EQ(r.errnum(), 0);
    EXPECT_EQ(r.context(), "");
    r = step(EXDEV, "rename");
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error(), std::errc::cross_device_link);
    EXPECT_EQ(r.context(), "rename");
    // The code's message is the C library's text for that errno.
    EXPECT_EQ(r.error().message(), std::string(std::strerror(EXDEV)));
}

TEST(DirStream, ClosesItsDescriptorOnceOnEveryPath) {
    int raw = -1;
    {
        orv::UniqueFd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        raw = dir.get();
        orv::DirStream stream = orv::dirStreamOf(std::move(dir));
        ASSERT_TRUE(stream);
        EXPECT_FALSE(dir.valid());
        EXPECT_EQ(::dirfd(stream.get()), raw);
        EXPECT_NE(::readdir(stream.get()), nullptr);
    }
    EXPECT_FALSE(isOpen(raw));

    // Not a directory: no stream, and the descriptor handed over is not leaked.
    orv::UniqueFd file(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
    raw = file.get();
    ASSERT_GE(raw, 0);
    EXPECT_FALSE(orv::dirStreamOf(std::move(file)));
    EXPECT_FALSE(isOpen(raw));

    EXPECT_FALSE(orv::dirStreamOf(orv::UniqueFd()));
    EXPECT_FALSE(orv::openDirStream("/nonexistent/for/sure"));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
