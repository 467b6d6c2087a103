// Reading the host's printer list: defaults, iteration order, metadata, log
// lines and the JSON library's type errors. The scheduler is unreachable
// here; what CUPS does with the records is covered by the tests that run a
// real scheduler.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/HostValues.h"
#include "support/LogCapture.h"
#include "printer/TaskUpdatePrinters.h"
#include "printer/UpdatePrintersPerformer.h"

namespace czs {
namespace {

using nlohmann::json;

class UpdatePrintersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_log.opened());
        cupsSetServer("/nonexistent/czs-printer-test/cups.sock");
    }
    void TearDown() override { cupsSetServer(nullptr); }

    static PrintProtocolJsonMsg response(const json& data) {
        PrintProtocolJsonMsg msg(kMethodDiscovery, kMsgTypeResponse);
        msg.setField("data", data);
        return msg;
    }
    static PrintProtocolJsonMsg responseWithoutData() {
        return PrintProtocolJsonMsg(kMethodDiscovery, kMsgTypeResponse);
    }

    void update(UpdatePrintersPerformer& performer, const PrintProtocolJsonMsg& msg) {
        performer.parseParameters(msg);
        performer.updatePrinters();
    }

    // Runs an update that must fail with the given type error.
    void expectTypeError(UpdatePrintersPerformer& performer, const json& data, int id, const std::string& text) {
        try {
            update(performer, response(data));
            ADD_FAILURE() << "no type error for " << data.dump();
        } catch (const json::type_error& e) {
            EXPECT_EQ(e.id, id) << data.dump();
            EXPECT_EQ(std::string(e.what()), "[json.exception.type_error." + std::to_string(id) + "] " + text);
        }
    }

    std::vector<std::string> names(const UpdatePrintersPerformer& p) const {
        std::vector<std::string> out;
        for (const Printer& r : p.manager().printers()) {
            out.push_back(r.name);
        }
        return out;
    }

    test::LogCapture m_log;
    PrintFileRegistry m_registry;
};

TEST_F(UpdatePrintersTest, DeviceWithOnlyANameGetsTheDefaults) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer, response({{"meta", json::object()}, {"devices", {{{"name", "solo"}}}}}));
    ASSERT_EQ(performer.manager().printers().size(), 1u);
    const Printer& p = performer.manager().printers()[0];
    EXPECT_EQ(test::hostValues(p), std::make_tuple(false, false, "", "", "", ""));
    EXPECT_EQ(p.name, "solo");
    EXPECT_EQ(p.deviceUri, "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/");
}

TEST_F(UpdatePrintersTest, CarriesEveryDeviceValueIntoTheRecord) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    const json device = {{"isDefault", true},      {"printer-driver-xps", true}, {"device-id", "7"},
                         {"printer-info", "Info"}, {"printer-location", "Loc"},  {"printer-make-and-model", "Model"},
                         {"name", "Office HP"},    {"unknown-key", 42}};
    update(performer, response({{"meta", json::object()}, {"devices", {device}}, {"x", 1}}));
    ASSERT_EQ(performer.manager().printers().size(), 1u);
    const Printer& p = performer.manager().printers()[0];
    EXPECT_EQ(test::hostValues(p), std::make_tuple(true, true, "7", "Info", "Loc", "Model"));
    EXPECT_EQ(p.cupsName, "Office+HP");
    EXPECT_EQ(p.deviceUri, "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/7");
}

TEST_F(UpdatePrintersTest, DevicesAsArrayKeepOrderAsObjectSortByMemberName) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer,
           response({{"meta", json::object()}, {"devices", {{{"name", "z"}}, {{"name", "a"}}, {{"name", "m"}}}}}));
    EXPECT_EQ(names(performer), (std::vector<std::string>{"z", "a", "m"}));

    update(performer, response(json::parse(
                          R"({"meta": {}, "devices": {"b": {"name": "under-b"},
                                                      "a": {"name": "under-a"}}})")));
    EXPECT_EQ(names(performer), (std::vector<std::string>{"under-a", "under-b"}));
}

TEST_F(UpdatePrintersTest, StoresMetadataOnEveryUpdate) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer,
           response({{"meta", {{"platform", "win"}, {"print-file-format", "pdf"}}}, {"devices", json::array()}}));
    EXPECT_EQ(m_registry.metadata().platform, "win");
    EXPECT_EQ(m_registry.metadata().printFileFormat, "pdf");
    update(performer, response({{"meta", json::object()}, {"devices", json::array()}}));
    EXPECT_EQ(m_registry.metadata().platform, "");
    EXPECT_EQ(m_registry.metadata().printFileFormat, "");
}

TEST_F(UpdatePrintersTest, LogsTheListHeaderAndOneLinePerDevice) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(
        performer,
        response(
            {{"meta", json::object()},
             {"devices",
              {{{"name", "n1"}, {"printer-info", "i1"}, {"printer-location", "l1"}, {"printer-make-and-model", "m1"}},
               {{"name", "n2"}}}}}));
    const auto lines = m_log.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_EQ(lines[0].body, "[UpdatePrintersPerformer]:[updatePrinters]: printers:");
    EXPECT_EQ(lines[1].level, "INFO");
    EXPECT_EQ(lines[1].body, "\tinfo=i1 location=l1 model=m1 name=n1");
    EXPECT_EQ(lines[2].body, "\tinfo= location= model= name=n2");
}

TEST_F(UpdatePrintersTest, DeviceUrisNameTheChannelTheServiceOpened) {
    // The transport comes from the service; nothing is probed per update.
    const json list = {{"meta", json::object()}, {"devices", {{{"name", "a"}, {"device-id", "3"}}}}};
    UpdatePrintersPerformer overShm(HostTransport::SharedMemory, m_registry, false);
    update(overShm, response(list));
    ASSERT_EQ(overShm.manager().printers().size(), 1u);
    EXPECT_EQ(overShm.manager().printers()[0].deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/3");
    UpdatePrintersPerformer overSerial(HostTransport::SerialPort, m_registry, false);
    update(overSerial, response(list));
    EXPECT_EQ(overSerial.manager().printers()[0].deviceUri, "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/3");
}

TEST_F(UpdatePrintersTest, MissingDataLogsJsonIsNullAndEmptiesTheList) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer, response({{"meta", json::object()}, {"devices", {{{"name", "A"}}}}}));
    ASSERT_EQ(names(performer), std::vector<std::string>{"A"});

    for (const PrintProtocolJsonMsg& msg : {responseWithoutData(), response(nullptr)}) {
        update(performer, response({{"meta", json::object()}, {"devices", {{{"name", "A"}}}}}));
        const std::size_t before = m_log.lines().size();
        update(performer, msg);
        EXPECT_TRUE(performer.manager().printers().empty());
        const auto lines = m_log.lines();
        ASSERT_GT(lines.size(), before);
        EXPECT_EQ(lines[before].level, "ERROR");
        EXPECT_EQ(lines[before].body, "[UpdatePrintersPerformer]:[parseParameters]: json is null");
        // The queue of the previous list is retired (the scheduler being
        // away here, its jobs cannot be listed, and the attempt is what the
        // log shows).
        ASSERT_GE(lines.size(), before + 2);
        EXPECT_EQ(lines[before + 1].body,
                  "[PrinterManager]:[retireOrDelete]: queue A: its jobs could not be "
                  "listed, so it refuses new jobs and stays for now");
    }
}

TEST_F(UpdatePrintersTest, MissingDevicesIsAnEmptyList) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer, response({{"meta", json::object()}, {"devices", {{{"name", "A"}}}}}));
    update(performer, response({{"meta", json::object()}, {"devices", nullptr}}));
    EXPECT_TRUE(performer.manager().printers().empty());
}

TEST_F(UpdatePrintersTest, TypeErrorsPropagateAndLeaveThePrintersAlone) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    update(performer, response({{"meta", json::object()}, {"devices", {{{"name", "keep"}}}}}));
    const std::vector<std::string> before = names(performer);

    expectTypeError(performer, {{"devices", json::array()}}, 306, "cannot use value() with null");
    expectTypeError(performer, {{"meta", "x"}}, 306, "cannot use value() with string");
    expectTypeError(performer, "just text", 305, "cannot use operator[] with a string argument with string");
    expectTypeError(performer, {{"meta", {{"platform", 3}}}}, 302, "type must be string, but is number");
    expectTypeError(performer, {{"meta", json::object()}, {"devices", {1}}}, 306, "cannot use value() with number");
    expectTypeError(performer, {{"meta", json::object()}, {"devices", "abc"}}, 306, "cannot use value() with string");
    expectTypeError(performer, {{"meta", json::object()}, {"devices", {{{"isDefault", "yes"}}}}}, 302,
                    "type must be boolean, but is string");
    expectTypeError(performer, {{"meta", json::object()}, {"devices", {{{"name", "ok"}}, {{"name", 5}}}}}, 302,
                    "type must be string, but is number");
    EXPECT_EQ(names(performer), before);
}

TEST_F(UpdatePrintersTest, MetadataIsStoredBeforeALaterTypeError) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    expectTypeError(performer, {{"meta", {{"platform", "mac"}}}, {"devices", {{{"printer-info", 1}}}}}, 302,
                    "type must be string, but is number");
    EXPECT_EQ(m_registry.metadata().platform, "mac");
}

TEST_F(UpdatePrintersTest, TaskLogsRunsTheUpdateAndRepliesNothing) {
    UpdatePrintersPerformer performer(HostTransport::SerialPort, m_registry, false);
    std::unique_ptr<TaskBase> task;
    {
        // The task keeps its own copy of the message.
        PrintProtocolJsonMsg msg = response({{"meta", {{"platform", "p"}}}, {"devices", {{{"name", "T"}}}}});
        task = std::make_unique<TaskUpdatePrinters>(performer, msg);
        msg.setField("data", nullptr);
    }
    Reply reply = task->execute();
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(reply.size(), 0u);
    EXPECT_EQ(names(performer), std::vector<std::string>{"T"});
    EXPECT_EQ(m_registry.metadata().platform, "p");
    const auto lines = m_log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_EQ(lines[0].body, "[TaskUpdatePrinters]:[execute]: executing task");
}

}  // namespace
}  // namespace czs
