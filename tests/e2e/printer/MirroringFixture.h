// The fixture of the mirroring scenarios: a performer over the shared-memory
// channel path, the daemon's log, and the scheduler's request log. Run inside
// tests/e2e/isolate after tests/e2e/lib/cupsd-start.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "CupsQueues.h"
#include "printer/HostChannelPath.h"
#include "printer/TaskUpdatePrinters.h"
#include "printer/UpdatePrintersPerformer.h"

namespace czs::e2e {

using nlohmann::json;
using Strings = std::vector<std::string>;

inline const std::string kShm = kShmChannelPath;

class PrinterMirroring : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Only inside the namespace the harness made: there /dev/shm is a
        // private tmpfs, where the stand-in shared-memory object the queues'
        // device URIs name may live.
        struct stat st {};
        ASSERT_EQ(::stat((e2e::cupsdRoot() + "/cupsd.pid").c_str(), &st), 0)
            << "run me through tests/e2e/isolate after tests/e2e/lib/cupsd-start";
        std::ofstream(kShm) << "";
    }

    void SetUp() override {
        ASSERT_TRUE(m_log.opened());
        e2e::deleteAllQueues();
        ASSERT_TRUE(queueNames().empty());
        m_requests.mark();
    }

public:
    static json device(const std::string& name, const std::string& id) {
        return {{"name", name},
                {"device-id", id},
                {"printer-info", name + " info"},
                {"printer-location", name + " room"},
                {"printer-make-and-model", "Maker " + name},
                {"isDefault", false}};
    }
    static PrintProtocolJsonMsg response(const json& data) {
        PrintProtocolJsonMsg msg(kMethodDiscovery, kMsgTypeResponse);
        msg.setField("data", data);
        return msg;
    }
    // The devices always form an array (a braced single json would be taken
    // for the device itself).
    static json list(const std::vector<json>& devices) {
        return {{"meta", json::object()}, {"devices", json(devices)}};
    }
    // The same, with the host asking for `format` ("pdf", "ps", ...).
    static json listAs(const std::string& format, const std::vector<json>& devices) {
        return {{"meta", {{"print-file-format", format}}}, {"devices", json(devices)}};
    }

protected:
    void update(const PrintProtocolJsonMsg& msg) {
        TaskUpdatePrinters task(m_performer, msg);
        EXPECT_TRUE(task.execute().empty());
    }
    void update(const json& data) { update(response(data)); }

    // The administrative requests CUPS answered since the last mark.
    Strings requests() {
        Strings out = m_requests.sinceMark();
        m_requests.mark();
        return out;
    }
    static std::string ok(const std::string& op, const std::string& name) {
        return op + " ipp://localhost/printers/" + name + " successful-ok";
    }

    std::vector<std::string> runRequestErrors() const {
        std::vector<std::string> out;
        for (const auto& line : m_log.lines()) {
            if (line.body.rfind("[PrinterManager]:[runRequest] error: ", 0) == 0) {
                out.push_back(line.body);
            }
        }
        return out;
    }

    test::LogCapture m_log;
    e2e::RequestLog m_requests;
    PrintFileRegistry m_registry;
    UpdatePrintersPerformer m_performer{HostTransport::SharedMemory, m_registry, false};
};

}  // namespace czs::e2e
