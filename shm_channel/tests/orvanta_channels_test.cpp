// The host side is built elsewhere against these exact names and sizes; a
// changed value would connect nothing, so they are checked against the
// figures the host agent uses, written out here by hand.
#include <gtest/gtest.h>
#include <shm_channel/orvanta_channels.h>

#include <string>

TEST(OrvantaChannels, PrintChannelNamesAndPaths) {
    EXPECT_EQ(std::string(ORV_PRINT_CHANNEL_NAME), "orvanta.Printer.0");
    EXPECT_EQ(std::string(ORV_PRINT_CHANNEL_SHM_PATH), "/dev/shm/orvanta.Printer.0");
    EXPECT_EQ(std::string(ORV_PRINT_SERIAL_PORT_PATH), "/dev/virtio-ports/orvanta.Printer.0");
    EXPECT_EQ(ORV_PRINT_CHANNEL_SIZE, 33554432u);
}

TEST(OrvantaChannels, MountChannelConfigLeavesCallbacksToTheCaller) {
    const shm_config cfg = orv_mount_channel_config();
    EXPECT_EQ(std::string(cfg.name), "quor-mounting-shdir-service");
    EXPECT_EQ(cfg.timeout_us, 1200000u);
    EXPECT_EQ(cfg.size, 262144u);
    EXPECT_EQ(cfg.chunk, 8192u);
    EXPECT_EQ(cfg.on_connected, nullptr);
    EXPECT_EQ(cfg.on_data, nullptr);
    EXPECT_EQ(cfg.on_data_available, nullptr);
    EXPECT_EQ(cfg.on_disconnected, nullptr);
    EXPECT_EQ(cfg.on_owner, nullptr);
    EXPECT_EQ(cfg.user_data, nullptr);
}
