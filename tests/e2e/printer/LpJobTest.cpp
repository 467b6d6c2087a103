// A job printed with lp to a mirrored queue reaches the zefa-prt backend,
// which spools it and announces it on 127.0.0.1:4848, where this test
// listens in place of the daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <cups_zefa_service/BackendLink.h>
#include <nlohmann/json.hpp>

#include "Announcements.h"
#include "CupsQueues.h"
#include "printer/UpdatePrintersPerformer.h"

namespace czs {
namespace {

using nlohmann::json;

TEST(LpJob, PrintedFileIsSpooledAndAnnounced) {
    if (std::getenv("ZEFA_PRT_IS_STUB") != nullptr) {
        GTEST_SKIP() << "the zefa-prt backend is not part of this build yet";
    }
    e2e::AnnouncementListener listener;
    ASSERT_TRUE(listener.ok()) << "cannot listen on 127.0.0.1:4848";

    e2e::deleteAllQueues();
    PrintFileRegistry registry;
    UpdatePrintersPerformer performer(HostTransport::SerialPort, registry, false);
    PrintProtocolJsonMsg msg(kMethodDiscovery, kMsgTypeResponse);
    msg.setField("data", json{{"meta", {{"platform", "test"}}},
                              {"devices", json::array({{{"name", "lp queue"}, {"device-id", "3"}}})}});
    performer.parseParameters(msg);
    performer.updatePrinters();
    ASSERT_EQ(e2e::queueNames(), std::vector<std::string>{"lp+queue"});

    const std::string content = "hello from the guest\nsecond line\n";
    const std::string input = "/tmp/lp-job-input.txt";
    std::ofstream(input) << content;
    ASSERT_EQ(std::system(("lp -d lp+queue -t czs-e2e-job " + input + " >/dev/null").c_str()), 0);

    const std::string line = listener.readLine(20000);
    ASSERT_FALSE(line.empty()) << "no announcement within 20 s; scheduler log: " << e2e::cupsdRoot()
                               << "/log/error_log";
    const json announcement = json::parse(line);
    ASSERT_TRUE(announcement.is_object()) << line;
    ASSERT_TRUE(announcement.contains("abspath")) << line;
    const std::string path = announcement["abspath"].get<std::string>();
    EXPECT_EQ(path.rfind("/var/spool/orvanta-print/", 0), 0u) << path;
    std::ifstream spooled(path);
    ASSERT_TRUE(spooled.good()) << path;
    std::stringstream s;
    s << spooled.rdbuf();
    EXPECT_EQ(s.str(), content);
}

}  // namespace
}  // namespace czs
