// The C++ owner of an endpoint: the server's object exists exactly while an
// owner holds the endpoint, and moving the owner never stops it twice.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "shm_channel/ShmEndpointOwner.h"

namespace {

bool objectExists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int onData(void*, shm_endpoint*, const uint8_t*, size_t) {
    return 0;
}

shm_endpoint* startServer(const std::string& name) {
    shm_config c;
    shm_config_init(&c);
    c.name = name.c_str();
    c.on_data = onData;
    return shm_srv_start(&c);
}

struct Unlinker {
    std::string name;
    ~Unlinker() { shm_unlink(name.c_str()); }
};

TEST(ShmEndpointOwner, StopsTheEndpointOnceWhenTheLastOwnerGoes) {
    const std::string name = "/shmtest-" + std::to_string(getpid()) + "-owner";
    Unlinker u{name};
    {
        orv::ShmEndpointOwner outer;
        {
            orv::ShmEndpointOwner first(startServer(name));
            ASSERT_TRUE(first);
            EXPECT_TRUE(objectExists(name));
            outer = std::move(first);
            EXPECT_FALSE(first);
        }
        // The moved-from owner went away without stopping anything.
        EXPECT_TRUE(objectExists(name));
        ASSERT_TRUE(outer);
        EXPECT_FALSE(outer == nullptr);
    }
    EXPECT_FALSE(objectExists(name));

    // reset stops the old endpoint and reports shm_stop's result.
    orv::ShmEndpointOwner owner(startServer(name));
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner.reset(), 0);
    EXPECT_FALSE(owner);
    EXPECT_TRUE(owner == nullptr);
    EXPECT_FALSE(objectExists(name));
    EXPECT_EQ(owner.reset(), 0);  // nothing held: nothing to stop

    // release hands the endpoint back; the caller stops it.
    orv::ShmEndpointOwner released(startServer(name));
    shm_endpoint* ep = released.release();
    ASSERT_NE(ep, nullptr);
    EXPECT_TRUE(objectExists(name));
    EXPECT_EQ(shm_stop(ep), 0);
    EXPECT_FALSE(objectExists(name));
}

}  // namespace
