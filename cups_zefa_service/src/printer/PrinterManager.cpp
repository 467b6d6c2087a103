#include "printer/PrinterManager.h"

#include <strings.h>

#include "common/Log.h"

namespace czs {

using CupsApiWrapper::AcceptPrinterJobsIppRequest;
using CupsApiWrapper::AddPrinterIppRequest;
using CupsApiWrapper::DeletePrinterIppRequest;
using CupsApiWrapper::IppRequestBase;
using CupsApiWrapper::IppRequestPtr;

namespace {

// Builds the request of type R for `printer` and sends it; the request object
// lives only for this one send.
template <class R>
void send(PrinterManager& manager, const Printer& printer) {
    R request;
    request.setPrinter(printer);
    manager.runRequest(request.createRequest());
}

}  // namespace

PrinterManager::~PrinterManager() { freeDests(); }

void PrinterManager::setPrinters(const std::vector<Printer>& printers) {
    if (printers.empty()) {
        for (const Printer& printer : m_printers) {
            send<DeletePrinterIppRequest>(*this, printer);
        }
        m_printers.clear();
        return;
    }
    m_printers = printers;
    addPrinters();
    acceptPrinterJobs();
    m_destCount = cupsGetDests(&m_dests);
    deleteStalePrinters();
    freeDests();
}

bool PrinterManager::runRequest(IppRequestPtr request) {
    if (!request) {
        // Only an allocation failure in libcups gets here.
        ::czs::logLine(kLogInfo, nullptr, nullptr, "[PrinterManager]:[%s] error: %s\n",
                       "runRequest", ippErrorString(IPP_STATUS_ERROR_INTERNAL));
        return false;
    }
    // libcups takes the request and frees it, whatever the outcome.
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/admin/");
    // Without a response libcups' own last error says why (for instance the
    // scheduler is not running); the response's status is not available.
    const ipp_status_t status = response ? ippGetStatusCode(response) : cupsLastError();
    ippDelete(response);
    if (status <= IPP_STATUS_OK_CONFLICTING) {
        return true;
    }
    // This line's shape ("[tag]:[op] error:") differs from the tagged form,
    // so it is written whole.
    ::czs::logLine(kLogInfo, nullptr, nullptr, "[PrinterManager]:[%s] error: %s\n", "runRequest",
                   ippErrorString(status));
    return false;
}

void PrinterManager::addPrinters() {
    for (const Printer& printer : m_printers) {
        send<AddPrinterIppRequest>(*this, printer);
    }
}

void PrinterManager::acceptPrinterJobs() {
    for (const Printer& printer : m_printers) {
        send<AcceptPrinterJobsIppRequest>(*this, printer);
    }
}

void PrinterManager::deleteStalePrinters() {
    for (int i = 0; i < m_destCount; ++i) {
        const cups_dest_t& dest = m_dests[i];
        // An instance (from lpoptions) names the same queue as its plain
        // destination, which the list also holds; deleting twice would only
        // log a spurious failure.
        if (dest.instance != nullptr || dest.name == nullptr) {
            continue;
        }
        bool listed = false;
        for (const Printer& printer : m_printers) {
            if (::strcasecmp(dest.name, printer.cupsName.c_str()) == 0) {
                listed = true;
                break;
            }
        }
        if (!listed) {
            // The queue is addressed by its CUPS name, which the printer URI
            // encoding carries through unchanged ("+" arrives as "%2B").
            send<DeletePrinterIppRequest>(
                *this, Printer(false, false, {}, {}, {}, {}, dest.name, {}));
        }
    }
}

void PrinterManager::freeDests() {
    if (m_dests != nullptr) {
        cupsFreeDests(m_destCount, m_dests);
    }
    m_dests = nullptr;
    m_destCount = 0;
}

}  // namespace czs
