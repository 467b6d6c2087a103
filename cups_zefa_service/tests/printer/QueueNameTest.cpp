// Queue names: CUPS's rule, the hashed fall-back, and how a whole list is
// named. Digests are the first six hex digits of sha256sum's answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "printer/QueueName.h"

namespace czs {
namespace {

Printer record(const std::string& name, const std::string& id, const std::string& info = "") {
    return Printer(false, false, id, info, "", "", name, "/dev/shm/orvanta.Printer.0");
}

const auto kNoForeign = [](const std::string&) { return false; };

TEST(QueueName, CupsRefusesControlBytesSeparatorsQuotesAndLongNames) {
    using S = std::vector<std::string>;
    for (const std::string& ok : S{"Office+HP", "a", "B\xC3\xBCro", "x.y_z-1", std::string(126, 'n')}) {
        EXPECT_TRUE(isValidQueueName(ok)) << ok;
    }
    for (const std::string& bad : S{"", "a b", "a/b", "a#b", "a\\b", "a?b", "a'b", "a\"b",
                                    std::string("a\x01"
                                                "b"),
                                    std::string("a\x7F"
                                                "b"),
                                    std::string("a\tb"), std::string(127, 'n')}) {
        EXPECT_FALSE(isValidQueueName(bad)) << bad;
    }
}

TEST(QueueName, HashedNameKeepsSafeBytesCutsAt100AndAddsTheDigest) {
    EXPECT_EQ(hashedQueueName("a/b", "a/b"), "a_b-c14cdd");
    EXPECT_EQ(hashedQueueName("a#b", "a#b"), "a_b-8187fc");
    EXPECT_EQ(hashedQueueName("", ""), "printer-e3b0c4");
    // Spaces become "+" first, as in every queue name of ours.
    EXPECT_EQ(hashedQueueName("my printer/2", "x").substr(0, 13), "my+printer_2-");
    std::string utf8;
    for (int i = 0; i < 100; ++i)
        utf8 += "\xC3\x9C";
    const std::string hashed = hashedQueueName(utf8, utf8);
    EXPECT_EQ(hashed, std::string(100, '_') + "-296ec1");
    EXPECT_TRUE(isValidQueueName(hashed));
}

TEST(QueueName, ValidNamesStayAndOthersAreHashedWithTheirUris) {
    std::vector<Printer> list = {record("Office HP", "1"), record("a/b", "2"), record(std::string(130, 'x'), "3")};
    assignQueueNames(list, kNoForeign);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].cupsName, "Office+HP");
    EXPECT_EQ(list[0].printerUri, "ipp://localhost/printers/Office+HP");
    EXPECT_EQ(list[1].cupsName, "a_b-c14cdd");
    EXPECT_EQ(list[1].printerUri, "ipp://localhost/printers/a%5Fb-c14cdd");
    EXPECT_EQ(list[1].name, "a/b");
    EXPECT_EQ(list[2].cupsName.size(), 107u);
    for (const Printer& p : list)
        EXPECT_TRUE(isValidQueueName(p.cupsName)) << p.cupsName;
}

TEST(QueueName, AForeignQueueKeepsTheNaturalNameAndOursIsHashed) {
    std::vector<std::string> asked;
    std::vector<Printer> list = {record("accounting", "1"), record("mine", "2")};
    assignQueueNames(list, [&](const std::string& name) {
        asked.push_back(name);
        return name == "accounting";
    });
    EXPECT_EQ(list[0].cupsName, "accounting-2a31ae");
    EXPECT_EQ(list[1].cupsName, "mine");
    EXPECT_EQ(asked, (std::vector<std::string>{"accounting", "mine"}));
}

TEST(QueueName, CollidingNamesAreToldApartTheSameWayInAnyOrder) {
    // "a/b" and "a_b" would share a hashed base, "Lab" and "lab" one queue
    // (CUPS ignores case), and two records of one name one queue.
    const std::vector<Printer> base = {record("Lab", "1"),           record("lab", "2"), record("twin", "3", "left"),
                                       record("twin", "4", "right"), record("a b", "5"), record("a+b", "6")};
    std::vector<Printer> forward = base;
    assignQueueNames(forward, kNoForeign);
    std::set<std::string> lower;
    for (const Printer& p : forward) {
        std::string l = p.cupsName;
        std::transform(l.begin(), l.end(), l.begin(), ::tolower);
        EXPECT_TRUE(lower.insert(l).second) << "shared: " << p.cupsName;
        EXPECT_TRUE(isValidQueueName(p.cupsName)) << p.cupsName;
    }
    EXPECT_EQ(forward[0].cupsName, "Lab");  // "Lab" sorts before "lab"

    std::vector<Printer> backward(base.rbegin(), base.rend());
    assignQueueNames(backward, kNoForeign);
    for (const Printer& p : forward) {
        const auto it =
            std::find_if(backward.begin(), backward.end(), [&](const Printer& q) { return q.deviceId == p.deviceId; });
        ASSERT_NE(it, backward.end());
        EXPECT_EQ(it->cupsName, p.cupsName) << p.name;
    }
}

TEST(QueueName, AnIdenticalRecordTwiceIsOnePrinter) {
    std::vector<Printer> list = {record("dup", "1"), record("other", "2"), record("dup", "1")};
    assignQueueNames(list, kNoForeign);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].cupsName, "dup");
    EXPECT_EQ(list[1].cupsName, "other");
}

TEST(QueueName, NamingTwiceGivesTheSameNameAndUri) {
    std::vector<Printer> list = {record("a/b", "1"), record("plain name", "2")};
    assignQueueNames(list, kNoForeign);
    const std::vector<Printer> once = list;
    assignQueueNames(list, kNoForeign);
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].cupsName, once[i].cupsName);
        EXPECT_EQ(list[i].printerUri, once[i].printerUri);
    }
}

}  // namespace
}  // namespace czs
