// Makes the local CUPS scheduler show the printers of the host's latest list:
// one queue per record, accepting jobs, and none of ours that the host no
// longer reports. Queues this system did not create (their device URI has
// another scheme) are never modified or deleted. Optionally the host's
// default printer becomes the CUPS default.
#pragma once

#include <cups/cups.h>

#include <optional>
#include <string>
#include <vector>

#include "printer/IppRequest.h"
#include "printer/Printer.h"

namespace czs {

class PrinterManager {
public:
    // With `followHostDefault`, the record marked "isDefault" becomes the
    // CUPS default unless the administrator's default is a queue of their
    // own; when the host stops naming a default, the default the guest had
    // before comes back.
    explicit PrinterManager(bool followHostDefault);
    ~PrinterManager();
    PrinterManager(const PrinterManager&) = delete;
    PrinterManager& operator=(const PrinterManager&) = delete;

    // A non-empty list: add or modify a queue per record, let each accept
    // jobs, then delete every queue of ours that is not in the list.
    // An empty list: delete only the queues of the previous list.
    void setPrinters(const std::vector<Printer>& printers);

    // Sends one request to "/admin/" on the default connection and logs a
    // failure; a failure neither stops the caller's sequence nor is retried.
    // Returns whether CUPS answered with a successful status.
    bool runRequest(CupsApiWrapper::IppRequestPtr request);

    // The list last applied.
    const std::vector<Printer>& printers() const { return m_printers; }

    // Whether a device URI is one of this system's queues.
    static bool isOurDeviceUri(const char* deviceUri);

private:
    struct DefaultDest {
        std::string name;
        bool ours = false;
    };

    // Whether the destinations fetched for this update hold `cupsName` as a
    // queue that is not ours.
    bool isForeignQueue(const std::string& cupsName) const;
    void addPrinters();
    void acceptPrinterJobs();
    void deleteStalePrinters();
    void freeDests();
    void followDefault();
    // The scheduler's default destination (CUPS-Get-Default), if it has one.
    std::optional<DefaultDest> currentDefault() const;
    bool queueExists(const std::string& name) const;

    bool m_followHostDefault;
    std::vector<Printer> m_printers;
    // Valid only while deleteStalePrinters runs.
    cups_dest_t* m_dests = nullptr;
    int m_destCount = 0;

    // The guest's default from before the host's default replaced it, kept
    // here for the daemon's lifetime (nothing else records it): restored
    // when the host names no default any more. Meaningful only while
    // m_hostDefaultApplied.
    std::optional<std::string> m_guestDefault;
    bool m_hostDefaultApplied = false;
};

}  // namespace czs
