// Printer mirroring against a real scheduler: run inside tests/e2e/isolate
// after tests/e2e/lib/cupsd-start has started cupsd with a zefa-prt backend.
// Every check is on what CUPS itself reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "MirroringFixture.h"

namespace czs {
namespace {

using e2e::cupsQueues;
using e2e::PrinterMirroring;
using e2e::queueNames;
using e2e::Strings;
using nlohmann::json;

TEST_F(PrinterMirroring, QueuesCarryTheHostsDescriptionAndAcceptJobs) {
    update(list({device("A", "1"), device("B", "2")}));
    const auto queues = cupsQueues();
    ASSERT_EQ(queueNames(), (Strings{"A", "B"}));
    const e2e::Queue& a = queues.at("A");
    EXPECT_EQ(a.deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/1");
    EXPECT_EQ(a.info, "A info");
    EXPECT_EQ(a.location, "A room");
    // The scheduler keeps no make-and-model of its own for a queue without
    // a driver; the host's value does not show.
    EXPECT_EQ(a.makeAndModel, "Local Raw Printer");
    EXPECT_TRUE(a.accepting);
    EXPECT_EQ(a.state, 3);
    EXPECT_EQ(queues.at("B").deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/2");
    EXPECT_TRUE(queues.at("B").accepting);
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "A"), ok("CUPS-Add-Modify-Printer", "B"),
                                   ok("CUPS-Accept-Jobs", "A"), ok("CUPS-Accept-Jobs", "B")}));
    EXPECT_TRUE(runRequestErrors().empty());
}

TEST_F(PrinterMirroring, AThenOnlyBDeletesAButNoQueueOfTheAdministrator) {
    ASSERT_TRUE(e2e::addForeignQueue("Foreign0"));
    update(list({device("A", "1"), device("B", "2")}));
    EXPECT_EQ(queueNames(), (Strings{"A", "B", "Foreign0"}));
    requests();

    ASSERT_TRUE(e2e::addForeignQueue("Zeta"));
    ASSERT_TRUE(e2e::addForeignQueue("C"));
    ASSERT_TRUE(e2e::addOurQueue("Leftover", "9"));  // from an earlier run of the daemon
    m_requests.mark();
    update(list({device("B", "2")}));
    EXPECT_EQ(queueNames(), (Strings{"B", "C", "Foreign0", "Zeta"}));
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "B"), ok("CUPS-Accept-Jobs", "B"),
                                   ok("CUPS-Delete-Printer", "A"), ok("CUPS-Delete-Printer", "Leftover")}));
    EXPECT_TRUE(runRequestErrors().empty());
}

TEST_F(PrinterMirroring, AForeignQueueSurvivesAnySequenceOfHostLists) {
    ASSERT_TRUE(e2e::addForeignQueue("accounting"));
    const e2e::Queue before = cupsQueues().at("accounting");
    ASSERT_EQ(before.deviceUri, "ipp://192.0.2.1/ipp/print");
    requests();  // the administrator's own lpadmin request
    const std::vector<json> lists = {
        list({device("A", "1")}),          list({device("A", "1"), device("B", "2")}), list({}),
        list({device("accounting", "3")}),  // the host names a printer like the administrator's queue
        json{{"meta", json::object()}},     // no devices at all
        list({device("B", "2")}),
    };
    for (const json& l : lists) {
        update(l);
        const auto queues = cupsQueues();
        ASSERT_EQ(queues.count("accounting"), 1u) << l.dump();
        const e2e::Queue& now = queues.at("accounting");
        EXPECT_EQ(now.deviceUri, before.deviceUri) << l.dump();
        EXPECT_EQ(now.info, before.info) << l.dump();
        EXPECT_EQ(now.location, before.location) << l.dump();
        EXPECT_EQ(now.accepting, before.accepting) << l.dump();
        for (const std::string& line : requests()) {
            EXPECT_EQ(line.find("/printers/accounting "), std::string::npos) << line;
        }
        if (l.dump().find("\"accounting\"") != std::string::npos) {
            // The host's "accounting" is mirrored all the same, under the
            // name with the first digits of SHA-256("accounting").
            ASSERT_EQ(queues.count("accounting-2a31ae"), 1u) << l.dump();
            EXPECT_EQ(queues.at("accounting-2a31ae").deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/3");
        }
    }
    // Ours came and went as the host said.
    EXPECT_EQ(queueNames(), (Strings{"B", "accounting"}));
    EXPECT_TRUE(
        m_log.contains("[PrinterManager]:[setPrinters]: host printer 'accounting' is queue accounting-2a31ae\n"));
}

TEST_F(PrinterMirroring, EmptyUpdateDeletesOnlyThePreviousList) {
    update(list({device("A", "1"), device("B", "2")}));
    ASSERT_TRUE(e2e::addForeignQueue("Foreign"));
    m_requests.mark();
    update(list({}));
    EXPECT_EQ(queueNames(), (Strings{"Foreign"}));
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Delete-Printer", "A"), ok("CUPS-Delete-Printer", "B")}));
    EXPECT_TRUE(m_performer.manager().printers().empty());

    // A second empty update has nothing left to delete.
    update(list({}));
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(queueNames(), (Strings{"Foreign"}));
}

TEST_F(PrinterMirroring, ReUpdateWithTheSameListChangesNothing) {
    update(list({device("A", "1"), device("B", "2")}));
    const auto before = cupsQueues();
    requests();
    update(list({device("A", "1"), device("B", "2")}));
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "A"), ok("CUPS-Add-Modify-Printer", "B"),
                                   ok("CUPS-Accept-Jobs", "A"), ok("CUPS-Accept-Jobs", "B")}));
    const auto after = cupsQueues();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.at("A").deviceUri, before.at("A").deviceUri);
    EXPECT_EQ(after.at("B").info, before.at("B").info);
}

TEST_F(PrinterMirroring, HostNameMatchesAnExistingQueueIgnoringCase) {
    ASSERT_TRUE(e2e::addOurQueue("MY+PRINTER", "4"));
    m_requests.mark();
    update(list({device("my printer", "5")}));
    // The scheduler finds its queue case-insensitively, modifies it, and
    // the stale check keeps it.
    const auto queues = cupsQueues();
    ASSERT_EQ(queueNames(), (Strings{"MY+PRINTER"}));
    EXPECT_EQ(queues.at("MY+PRINTER").deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/5");
    EXPECT_EQ(queues.at("MY+PRINTER").info, "my printer info");
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "my+printer"), ok("CUPS-Accept-Jobs", "my+printer")}));
}

TEST_F(PrinterMirroring, ANameCupsWouldRejectGetsTheHashedName) {
    update(list({device("first", "1"), device("a/b", "2"), device("last", "3")}));
    EXPECT_EQ(queueNames(), (Strings{"a_b-c14cdd", "first", "last"}));
    EXPECT_EQ(requests(),
              (Strings{ok("CUPS-Add-Modify-Printer", "first"), ok("CUPS-Add-Modify-Printer", "a%5Fb-c14cdd"),
                       ok("CUPS-Add-Modify-Printer", "last"), ok("CUPS-Accept-Jobs", "first"),
                       ok("CUPS-Accept-Jobs", "a%5Fb-c14cdd"), ok("CUPS-Accept-Jobs", "last")}));
    EXPECT_TRUE(runRequestErrors().empty());
    ASSERT_EQ(m_performer.manager().printers().size(), 3u);
    EXPECT_EQ(m_performer.manager().printers()[1].name, "a/b");
    EXPECT_EQ(cupsQueues().at("a_b-c14cdd").info, "a/b info");
}

TEST_F(PrinterMirroring, EmptyNameGetsAQueueToo) {
    update(list({device("", "1"), device("ok", "2")}));
    EXPECT_EQ(queueNames(), (Strings{"ok", "printer-e3b0c4"}));
    EXPECT_TRUE(runRequestErrors().empty());
}

TEST_F(PrinterMirroring, Utf8NameBecomesAQueueAndSurvivesTheNextUpdate) {
    const std::string name = "B\xC3\xBCro Drucker";  // "Büro Drucker"
    update(list({device(name, "9")}));
    const std::string cupsName = "B\xC3\xBCro+Drucker";
    ASSERT_EQ(queueNames(), (Strings{cupsName}));
    EXPECT_EQ(cupsQueues().at(cupsName).info, name + " info");
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "B%C3%BCro+Drucker"),
                                   ok("CUPS-Accept-Jobs", "B%C3%BCro+Drucker")}));
    update(list({device(name, "9")}));
    EXPECT_EQ(queueNames(), (Strings{cupsName}));
    EXPECT_TRUE(runRequestErrors().empty());
}

TEST_F(PrinterMirroring, DeviceWithOnlyANameGetsAnEmptyDescription) {
    update(list({{{"name", "bare"}}}));
    const auto queues = cupsQueues();
    ASSERT_EQ(queueNames(), (Strings{"bare"}));
    EXPECT_EQ(queues.at("bare").deviceUri, "zefa-prt:///dev/shm/orvanta.Printer.0/");
    EXPECT_EQ(queues.at("bare").info, "");
    EXPECT_EQ(queues.at("bare").location, "");
    EXPECT_TRUE(queues.at("bare").accepting);
}

TEST_F(PrinterMirroring, DevicesAsAnObjectAreMirroredInMemberNameOrder) {
    update(json::parse(R"({"meta": {"platform": "win"},
                           "devices": {"b": {"name": "second", "device-id": "2"},
                                       "a": {"name": "first", "device-id": "1"}}})"));
    EXPECT_EQ(queueNames(), (Strings{"first", "second"}));
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Add-Modify-Printer", "first"), ok("CUPS-Add-Modify-Printer", "second"),
                                   ok("CUPS-Accept-Jobs", "first"), ok("CUPS-Accept-Jobs", "second")}));
    EXPECT_EQ(m_registry.metadata().platform, "win");
}

TEST_F(PrinterMirroring, MissingMetaIsATypeErrorAndTouchesNoQueue) {
    update(list({device("A", "1")}));
    ASSERT_TRUE(e2e::addForeignQueue("Foreign"));
    m_requests.mark();
    TaskUpdatePrinters task(m_performer, response({{"devices", json::array({device("B", "2")})}}));
    try {
        task.execute();
        ADD_FAILURE() << "no type error";
    } catch (const json::type_error& e) {
        EXPECT_EQ(e.id, 306);
        EXPECT_STREQ(e.what(), "[json.exception.type_error.306] cannot use value() with null");
    }
    EXPECT_EQ(queueNames(), (Strings{"A", "Foreign"}));
    EXPECT_TRUE(requests().empty());
}

TEST_F(PrinterMirroring, MessageWithoutDataDeletesEveryMirroredQueue) {
    update(list({device("A", "1"), device("B", "2")}));
    ASSERT_TRUE(e2e::addForeignQueue("Foreign"));
    m_requests.mark();
    update(PrintProtocolJsonMsg(kMethodDiscovery, kMsgTypeResponse));
    EXPECT_EQ(queueNames(), (Strings{"Foreign"}));
    EXPECT_EQ(requests(), (Strings{ok("CUPS-Delete-Printer", "A"), ok("CUPS-Delete-Printer", "B")}));
    bool logged = false;
    for (const auto& line : m_log.lines()) {
        if (line.level == "ERROR" && line.body == "[UpdatePrintersPerformer]:[parseParameters]: json is null") {
            logged = true;
        }
    }
    EXPECT_TRUE(logged);
}

// The host's default printer against the scheduler's own answer (lpstat -d).
class HostDefaultPrinter : public PrinterMirroring {
protected:
    void SetUp() override {
        PrinterMirroring::SetUp();
        e2e::clearDefault();
    }
    static json marked(const std::string& name, const std::string& id) {
        json d = device(name, id);
        d["isDefault"] = true;
        return d;
    }
    UpdatePrintersPerformer m_following{HostTransport::SharedMemory, m_registry, true};
    void follow(const json& data) {
        TaskUpdatePrinters task(m_following, response(data));
        EXPECT_TRUE(task.execute().empty());
    }
};

TEST_F(HostDefaultPrinter, TheHostsDefaultBecomesTheCupsDefault) {
    EXPECT_EQ(e2e::lpstatDefault(), "");
    follow(list({device("A", "1"), marked("Home Laser", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "Home+Laser");
    follow(list({marked("A", "1"), device("Home Laser", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "A");
}

TEST_F(HostDefaultPrinter, TheAdministratorsOwnDefaultIsKept) {
    ASSERT_TRUE(e2e::addForeignQueue("accounting"));
    ASSERT_TRUE(e2e::setDefault("accounting"));
    follow(list({device("A", "1"), marked("B", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "accounting");
    follow(list({marked("A", "1")}));
    EXPECT_EQ(e2e::lpstatDefault(), "accounting");
    follow(list({}));
    EXPECT_EQ(e2e::lpstatDefault(), "accounting");
}

TEST_F(HostDefaultPrinter, TheGuestsPreviousDefaultComesBackWhenTheHostsGoes) {
    // The administrator picked one of the mirrored queues as the default.
    follow(list({device("Office", "1"), device("Home", "2")}));
    ASSERT_TRUE(e2e::setDefault("Office"));
    follow(list({device("Office", "1"), marked("Home", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "Home");
    follow(list({device("Office", "1")}));  // the host's default is gone
    EXPECT_EQ(e2e::lpstatDefault(), "Office");
    // And again, when the host's default is merely no longer marked.
    follow(list({device("Office", "1"), marked("Home", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "Home");
    follow(list({device("Office", "1"), device("Home", "2")}));
    EXPECT_EQ(e2e::lpstatDefault(), "Office");
}

TEST_F(HostDefaultPrinter, NotFollowedWhenTheSettingIsOff) {
    update(list({device("A", "1"), marked("B", "2")}));  // m_performer does not follow
    EXPECT_EQ(e2e::lpstatDefault(), "");
}

}  // namespace
}  // namespace czs
