// Makes the local CUPS scheduler show exactly the printers of the host's
// latest list: one queue per record, accepting jobs, and no other queue.
#pragma once

#include <cups/cups.h>

#include <vector>

#include "printer/IppRequest.h"
#include "printer/Printer.h"

namespace czs {

class PrinterManager {
public:
    PrinterManager() = default;
    ~PrinterManager();
    PrinterManager(const PrinterManager&) = delete;
    PrinterManager& operator=(const PrinterManager&) = delete;

    // A non-empty list: add or modify a queue per record, let each accept
    // jobs, then delete every CUPS destination that is not in the list.
    // An empty list: delete only the queues of the previous list.
    void setPrinters(const std::vector<Printer>& printers);

    // Sends one request to "/admin/" on the default connection and logs a
    // failure; a failure neither stops the caller's sequence nor is retried.
    // Returns whether CUPS answered with a successful status.
    bool runRequest(CupsApiWrapper::IppRequestPtr request);

    // The list last applied.
    const std::vector<Printer>& printers() const { return m_printers; }

private:
    void addPrinters();
    void acceptPrinterJobs();
    void deleteStalePrinters();
    void freeDests();

    std::vector<Printer> m_printers;
    // Valid only while deleteStalePrinters runs.
    cups_dest_t* m_dests = nullptr;
    int m_destCount = 0;
};

}  // namespace czs
