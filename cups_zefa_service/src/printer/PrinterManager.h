// Makes the local CUPS scheduler show the printers of the host's latest list:
// one queue per record, accepting jobs, and none of ours that the host no
// longer reports. Queues this system did not create (their device URI has
// another scheme) are never modified or deleted. A queue of ours that still
// holds jobs is not deleted (that would cancel them): it refuses new jobs
// and goes with the first update after its last job. Queues get a generated
// PPD for the chosen format, or stay raw when CUPS cannot convert for them.
// Optionally the host's default printer becomes the CUPS default.
#pragma once

#include <cups/cups.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "printer/IppRequest.h"
#include "printer/Printer.h"
#include "printer/QueueFormat.h"

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

    // A non-empty list: name each record's queue (QueueName), add or modify
    // a queue per record, let each accept jobs, then retire every queue of
    // ours that is not in the list. An empty list: retire only the queues of
    // the previous list. Either way, retired queues whose last job has
    // ended are deleted.
    void setPrinters(const std::vector<Printer>& printers);

    // The format of the queues of the following updates (Raw at first).
    void setQueueFormat(QueueFormat format) { m_format = format; }
    // The PPD name of the paper the generated PPDs default to (A4 at first).
    void setDefaultPaper(std::string paper) { m_defaultPaper = std::move(paper); }

    // Sends one request to "/admin/" on the default connection and logs a
    // failure; a failure neither stops the caller's sequence nor is retried.
    // A non-empty `document` goes with the request (a PPD for
    // CUPS-Add-Modify-Printer). Returns whether CUPS answered with a
    // successful status.
    bool runRequest(CupsApiWrapper::IppRequestPtr request, const std::string& document = {});

    // Appended to a retired queue's printer-info.
    static constexpr const char* kRetiredInfoSuffix = " (removed by the host; goes after its last job)";

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
    // Adds or modifies one queue in the current format; falls back to a
    // raw queue when CUPS cannot convert for the PPD one.
    void addPrinter(const Printer& printer);
    // Why a freshly made PPD queue cannot be used; empty when it can.
    std::string conversionProblem(const Printer& printer) const;
    // Deletes a queue of ours the host no longer lists, or, while it holds
    // jobs, makes it refuse new ones and marks its description.
    void retireOrDelete(const std::string& queueName, const std::string& info);
    // Jobs not yet ended on the queue; -1 when CUPS could not say.
    static int activeJobs(const std::string& queueName);
    // The printer-info CUPS has for the queue, from the destinations fetched
    // for this update.
    std::string currentInfo(const std::string& queueName) const;
    void acceptPrinterJobs();
    void deleteStalePrinters();
    void freeDests();
    void followDefault();
    // The scheduler's default destination (CUPS-Get-Default), if it has one.
    std::optional<DefaultDest> currentDefault() const;
    bool queueExists(const std::string& name) const;

    bool m_followHostDefault;
    QueueFormat m_format = QueueFormat::Raw;
    std::string m_defaultPaper = "A4";
    std::vector<Printer> m_printers;
    // Queues (lower-case names) refusing jobs until their last job ends.
    std::set<std::string> m_retiring;
    // Queues (lower-case names) whose fall-back to raw has been logged; a
    // queue leaves the set when its PPD works again.
    std::set<std::string> m_rawFallback;
    // The destinations fetched for the running update; valid only while
    // setPrinters runs.
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
