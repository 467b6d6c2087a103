// PrinterManager when the scheduler cannot be reached: every failure is
// logged, the sequence goes on, and the list is still kept for next time.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "printer/PrinterManager.h"

namespace czs {
namespace {

class PrinterManagerOffline : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_log.opened());
        // A socket nobody listens on: libcups cannot connect.
        cupsSetServer("/nonexistent/czs-printer-test/cups.sock");
    }
    void TearDown() override { cupsSetServer(nullptr); }

    test::LogCapture m_log;
};

TEST_F(PrinterManagerOffline, FailedRequestIsLoggedAtInfoWithTheIppErrorText) {
    PrinterManager manager(false);
    CupsApiWrapper::DeletePrinterIppRequest r;
    r.setPrinter(Printer(false, false, "", "", "", "", "x", ""));
    EXPECT_FALSE(manager.runRequest(r.createRequest()));
    const auto lines = m_log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_EQ(lines[0].body, "[PrinterManager]:[runRequest] error: server-error-service-unavailable");
}

TEST_F(PrinterManagerOffline, EverySendIsAttemptedAndTheListIsKept) {
    PrinterManager manager(false);
    const std::vector<Printer> list = {Printer(false, false, "1", "", "", "", "A", ""),
                                       Printer(false, false, "2", "", "", "", "B", "")};
    manager.setPrinters(list);
    // Add-Modify A, B, Accept-Jobs A, B; no destinations to look at.
    EXPECT_EQ(m_log.lines().size(), 4u);
    ASSERT_EQ(manager.printers().size(), 2u);
    EXPECT_EQ(manager.printers()[1].name, "B");

    // The empty list is for the two previous queues alone. With the jobs
    // unknowable a queue is not deleted (that could cancel them): it is to
    // refuse new jobs, which fails here too.
    manager.setPrinters({});
    const auto lines = m_log.lines();
    ASSERT_EQ(lines.size(), 8u);
    for (std::size_t i : {4u, 6u}) {
        const std::string queue = i == 4 ? "A" : "B";
        EXPECT_EQ(lines[i].body, "[PrinterManager]:[retireOrDelete]: queue " + queue +
                                     ": its jobs could not be listed, so it refuses new jobs and stays for now");
        EXPECT_EQ(lines[i + 1].body, "[PrinterManager]:[runRequest] error: server-error-service-unavailable");
    }
    EXPECT_TRUE(manager.printers().empty());

    // The previous list is gone; nothing is left to ask about. (Queues of
    // ours that CUPS still has are found stale by the next list.)
    manager.setPrinters({});
    EXPECT_EQ(m_log.lines().size(), 8u);
}

}  // namespace
}  // namespace czs

namespace czs {
namespace {

TEST(PrinterManagerOwnership, OnlyDeviceUrisOfOurBackendCountAsOurs) {
    EXPECT_TRUE(PrinterManager::isOurDeviceUri("zefa-prt:///dev/shm/orvanta.Printer.0/7"));
    EXPECT_TRUE(PrinterManager::isOurDeviceUri("zefa-prt:///7"));
    EXPECT_FALSE(PrinterManager::isOurDeviceUri("ipp://192.0.2.1/ipp/print"));
    EXPECT_FALSE(PrinterManager::isOurDeviceUri("zefa-prtx:///7"));  // another scheme that merely starts alike
    EXPECT_FALSE(PrinterManager::isOurDeviceUri("socket://zefa-prt:9100"));
    EXPECT_FALSE(PrinterManager::isOurDeviceUri(""));
    EXPECT_FALSE(PrinterManager::isOurDeviceUri(nullptr));  // unknown: treated as the administrator's
}

}  // namespace
}  // namespace czs
