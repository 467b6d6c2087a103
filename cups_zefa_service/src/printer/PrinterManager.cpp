#include "printer/PrinterManager.h"

#include <strings.h>

#include <cstring>

#include "common/Log.h"

namespace czs {

using CupsApiWrapper::AcceptPrinterJobsIppRequest;
using CupsApiWrapper::AddPrinterIppRequest;
using CupsApiWrapper::DeletePrinterIppRequest;
using CupsApiWrapper::IppRequestBase;
using CupsApiWrapper::IppRequestPtr;
using CupsApiWrapper::SetDefaultPrinterIppRequest;

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

PrinterManager::PrinterManager(bool followHostDefault) : m_followHostDefault(followHostDefault) {}

PrinterManager::~PrinterManager() { freeDests(); }

bool PrinterManager::isOurDeviceUri(const char* deviceUri) {
    static const std::string kScheme = std::string(Printer::kBackend) + ":";
    return deviceUri != nullptr && std::strncmp(deviceUri, kScheme.c_str(), kScheme.size()) == 0;
}

void PrinterManager::setPrinters(const std::vector<Printer>& printers) {
    if (printers.empty()) {
        // A record of the previous list may name a queue of the
        // administrator's (which was left alone then); that one stays too.
        m_destCount = m_printers.empty() ? 0 : cupsGetDests(&m_dests);
        for (const Printer& printer : m_printers) {
            if (isForeignQueue(printer.cupsName)) continue;
            send<DeletePrinterIppRequest>(*this, printer);
        }
        freeDests();
        m_printers.clear();
        followDefault();
        return;
    }
    m_printers = printers;
    // The queues as they are before this update: which names belong to the
    // administrator, and which of ours have gone stale.
    m_destCount = cupsGetDests(&m_dests);
    addPrinters();
    acceptPrinterJobs();
    deleteStalePrinters();
    followDefault();
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

bool PrinterManager::isForeignQueue(const std::string& cupsName) const {
    for (int i = 0; i < m_destCount; ++i) {
        const cups_dest_t& dest = m_dests[i];
        if (dest.instance == nullptr && dest.name != nullptr && ::strcasecmp(dest.name, cupsName.c_str()) == 0) {
            return !isOurDeviceUri(cupsGetOption("device-uri", dest.num_options, dest.options));
        }
    }
    return false;
}

void PrinterManager::addPrinters() {
    for (const Printer& printer : m_printers) {
        if (isForeignQueue(printer.cupsName)) {
            // A host printer named like one of the administrator's queues
            // must not take that queue over.
            ::czs::logLine(kLogError, "PrinterManager", "addPrinters",
                           "queue %s is not ours, left as it is\n", printer.cupsName.c_str());
            continue;
        }
        send<AddPrinterIppRequest>(*this, printer);
    }
}

void PrinterManager::acceptPrinterJobs() {
    for (const Printer& printer : m_printers) {
        if (isForeignQueue(printer.cupsName)) continue;
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
        // Only queues this system created go: the administrator's own
        // queues are not ours to judge. A destination whose device URI is
        // not known is treated as theirs.
        if (!isOurDeviceUri(cupsGetOption("device-uri", dest.num_options, dest.options))) {
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

namespace czs {

std::optional<PrinterManager::DefaultDest> PrinterManager::currentDefault() const {
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
    if (request == nullptr) return std::nullopt;
    static const char* const kAttrs[] = {"printer-name", "device-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kAttrs);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::optional<DefaultDest> result;
    if (response != nullptr && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING) {
        ipp_attribute_t* name = ippFindAttribute(response, "printer-name", IPP_TAG_NAME);
        ipp_attribute_t* uri = ippFindAttribute(response, "device-uri", IPP_TAG_URI);
        if (name != nullptr && ippGetString(name, 0, nullptr) != nullptr) {
            result = DefaultDest{ippGetString(name, 0, nullptr),
                                 isOurDeviceUri(uri != nullptr ? ippGetString(uri, 0, nullptr) : nullptr)};
        }
    }
    ippDelete(response);
    return result;
}

bool PrinterManager::queueExists(const std::string& name) const {
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests(&dests);
    const bool found = cupsGetDest(name.c_str(), nullptr, count, dests) != nullptr;
    cupsFreeDests(count, dests);
    return found;
}

void PrinterManager::followDefault() {
    if (!m_followHostDefault) return;
    const Printer* hostDefault = nullptr;
    for (const Printer& printer : m_printers) {
        if (printer.isDefault && !isForeignQueue(printer.cupsName)) {
            hostDefault = &printer;
            break;
        }
    }
    const std::optional<DefaultDest> current = currentDefault();
    if (hostDefault != nullptr) {
        if (current && ::strcasecmp(current->name.c_str(), hostDefault->cupsName.c_str()) == 0) {
            return;
        }
        if (current && !current->ours) {
            // The administrator chose a queue of their own: that stays.
            return;
        }
        if (!m_hostDefaultApplied) {
            m_guestDefault = current ? std::optional<std::string>(current->name) : std::nullopt;
        }
        send<SetDefaultPrinterIppRequest>(*this, *hostDefault);
        m_hostDefaultApplied = true;
        return;
    }
    if (!m_hostDefaultApplied) return;
    // The host names no default any more: the guest's own comes back, unless
    // the administrator has meanwhile chosen one of their own queues.
    m_hostDefaultApplied = false;
    if (current && !current->ours) return;
    if (m_guestDefault && queueExists(*m_guestDefault)) {
        send<SetDefaultPrinterIppRequest>(*this, Printer(false, false, {}, {}, {}, {}, *m_guestDefault, {}));
    }
    m_guestDefault.reset();
}

}  // namespace czs
