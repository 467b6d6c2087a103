// Queue names CUPS accepts and keeps across restarts and list orders, and
// queues the host drops while they still hold a user's job.
#include <cups/cups.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Announcements.h"
#include "MirroringFixture.h"

namespace czs {
namespace {

using e2e::cupsQueues;
using e2e::json;
using e2e::PrinterMirroring;
using e2e::queueNames;
using e2e::Strings;

// The names the host may send that CUPS would refuse as they are, and the
// queue each must become: "_" for what a queue name cannot hold, cut to 100
// bytes, and the first six hex digits of SHA-256 of the host's name (worked
// out with sha256sum).
const std::string kUtf8Long = [] {
    std::string s;
    for (int i = 0; i < 100; ++i)
        s += "\xC3\x9C";  // "Ü", 200 bytes in all
    return s;
}();
const std::vector<std::pair<std::string, std::string>> kAwkwardNames = {
    {"a/b", "a_b-c14cdd"},
    {"a#b", "a_b-8187fc"},
    {kUtf8Long, std::string(100, '_') + "-296ec1"},
    {std::string("ctl\x01name"), "ctl_name-80737e"},
};

std::vector<json> awkwardDevices() {
    std::vector<json> devices;
    int id = 1;
    for (const auto& [name, queue] : kAwkwardNames) {
        devices.push_back(PrinterMirroring::device(name, std::to_string(id++)));
    }
    return devices;
}

class QueueNames : public PrinterMirroring {
protected:
    // Which device id each queue routes to.
    static std::map<std::string, std::string> deviceOfQueue() {
        std::map<std::string, std::string> out;
        for (const auto& [name, queue] : cupsQueues()) {
            out[name] = queue.deviceUri.substr(queue.deviceUri.rfind('/') + 1);
        }
        return out;
    }
};

TEST_F(QueueNames, NamesCupsWouldRefuseBecomeValidDistinctStableQueues) {
    update(list(awkwardDevices()));
    EXPECT_TRUE(runRequestErrors().empty());
    const std::map<std::string, std::string> expected = {{kAwkwardNames[0].second, "1"},
                                                         {kAwkwardNames[1].second, "2"},
                                                         {kAwkwardNames[2].second, "3"},
                                                         {kAwkwardNames[3].second, "4"}};
    EXPECT_EQ(deviceOfQueue(), expected);
    EXPECT_EQ(cupsQueues().at("a_b-8187fc").info, "a#b info");

    // A daemon started afresh, given the list in another order: the same
    // queues, nothing deleted or added.
    std::vector<json> reversed = awkwardDevices();
    std::reverse(reversed.begin(), reversed.end());
    PrintFileRegistry registry;
    UpdatePrintersPerformer restarted(HostTransport::SharedMemory, registry, false);
    requests();
    TaskUpdatePrinters task(restarted, response(list(reversed)));
    task.execute();
    EXPECT_EQ(deviceOfQueue(), expected);
    for (const std::string& line : requests()) {
        EXPECT_EQ(line.find("CUPS-Delete-Printer"), std::string::npos) << line;
        EXPECT_NE(line.find("successful-ok"), std::string::npos) << line;
    }
}

TEST_F(QueueNames, TwoHostPrintersOfOneQueueNameGetTwoQueuesWhateverTheOrder) {
    // CUPS compares queue names ignoring case: "Lab" and "lab" would be one.
    update(list({device("Lab", "1"), device("lab", "2")}));
    auto first = deviceOfQueue();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(first.count("Lab"), 1u);
    EXPECT_EQ(first["Lab"], "1");
    std::string other;
    for (const auto& [name, id] : first) {
        if (name != "Lab") other = name;
    }
    EXPECT_EQ(other.rfind("lab-", 0), 0u) << other;
    EXPECT_EQ(other.size(), 10u) << other;
    EXPECT_EQ(first[other], "2");

    update(list({device("lab", "2"), device("Lab", "1")}));
    EXPECT_EQ(deviceOfQueue(), first);
    EXPECT_TRUE(runRequestErrors().empty());
}

class RetiringQueue : public PrinterMirroring {
protected:
    static int heldJob(const std::string& queue) {
        const std::string file = "/tmp/retiring-job.txt";
        std::ofstream(file) << "a job that must not be lost\n";
        FILE* p = ::popen(("lp -H hold -d '" + queue + "' " + file + " 2>&1").c_str(), "r");
        if (p == nullptr) return -1;
        char buf[256] = {};
        const bool read = std::fgets(buf, sizeof buf, p) != nullptr;
        ::pclose(p);
        // "request id is <queue>-<n> (1 file(s))"
        const std::string out = read ? buf : "";
        const auto dash = out.rfind('-', out.find(" ("));
        return dash == std::string::npos ? -1 : std::atoi(out.c_str() + dash + 1);
    }
    static int activeJobs(const std::string& queue) {
        cups_job_t* jobs = nullptr;
        const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
        cupsFreeJobs(n > 0 ? n : 0, jobs);
        return n;
    }
};

TEST_F(RetiringQueue, ADroppedQueueKeepsItsJobRefusesNewOnesAndGoesAfterIt) {
    update(list({device("keep", "1"), device("busy", "2")}));
    const int job = heldJob("busy");
    ASSERT_GT(job, 0);
    ASSERT_EQ(activeJobs("busy"), 1);

    update(list({device("keep", "1")}));
    auto queues = cupsQueues();
    ASSERT_EQ(queues.count("busy"), 1u) << "the queue went with its job";
    EXPECT_EQ(activeJobs("busy"), 1) << "the user's job was cancelled";
    EXPECT_FALSE(queues.at("busy").accepting);
    EXPECT_EQ(queues.at("busy").info, std::string("busy info") + PrinterManager::kRetiredInfoSuffix);
    EXPECT_NE(std::system("lp -d busy /etc/hostname >/dev/null 2>&1"), 0) << "a new job was taken";
    EXPECT_TRUE(m_log.contains(
        "[PrinterManager]:[retireOrDelete]: queue busy holds 1 job(s): it refuses new jobs and goes after the "
        "last one\n"));

    // Still busy at the next update (an empty list this time): still there,
    // and not marked twice.
    update(list({}));
    queues = cupsQueues();
    ASSERT_EQ(queues.count("busy"), 1u);
    EXPECT_EQ(queues.at("busy").info, std::string("busy info") + PrinterManager::kRetiredInfoSuffix);
    EXPECT_EQ(activeJobs("busy"), 1);

    // The job is released and printed to its end (the backend hands it to
    // a stand-in daemon that takes it); the first update after that deletes
    // the queue.
    e2e::AnnouncementListener daemon;
    ASSERT_TRUE(daemon.ok());
    ASSERT_EQ(std::system(("lp -i " + std::to_string(job) + " -H resume >/dev/null 2>&1").c_str()), 0);
    const std::string announced = daemon.readLine(20000, true);
    ASSERT_FALSE(announced.empty()) << "the released job was not printed";
    EXPECT_NE(announced.find("\"printer-name\":\"busy\""), std::string::npos) << announced;
    for (int i = 0; i < 100 && activeJobs("busy") != 0; ++i)
        ::usleep(100000);
    ASSERT_EQ(activeJobs("busy"), 0);
    // (The empty list took "keep", which held nothing.)
    EXPECT_EQ(queueNames(), (Strings{"busy"})) << "deleted before the next update";
    requests();
    update(list({device("keep", "1")}));
    EXPECT_EQ(queueNames(), (Strings{"keep"}));
    const Strings sent = requests();
    EXPECT_NE(std::find(sent.begin(), sent.end(), ok("CUPS-Delete-Printer", "busy")), sent.end());
}

TEST_F(RetiringQueue, ListedAgainItAcceptsJobsWithTheHostsDescription) {
    update(list({device("busy", "2")}));
    ASSERT_GT(heldJob("busy"), 0);
    update(list({device("other", "3")}));
    ASSERT_FALSE(cupsQueues().at("busy").accepting);

    update(list({device("busy", "2")}));
    const auto queues = cupsQueues();
    EXPECT_TRUE(queues.at("busy").accepting);
    EXPECT_EQ(queues.at("busy").info, "busy info");
    EXPECT_EQ(activeJobs("busy"), 1);
    EXPECT_EQ(queues.count("other"), 0u);
}

TEST_F(RetiringQueue, AQueueDeletedBehindOurBackIsNeitherWaitedForNorRefused) {
    update(list({device("gone", "1"), device("kept", "2")}));
    ASSERT_EQ(std::system("lpadmin -x gone >/dev/null 2>&1"), 0);
    const std::size_t before = m_log.lines().size();
    update(list({}));
    EXPECT_TRUE(queueNames().empty());
    const auto lines = m_log.lines();
    for (std::size_t i = before; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].body.find("gone"), std::string::npos) << lines[i].body;
    }
    EXPECT_TRUE(runRequestErrors().empty());
}

}  // namespace
}  // namespace czs
