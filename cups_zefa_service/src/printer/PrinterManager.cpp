#include "printer/PrinterManager.h"

#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <runtime/Log.h>
#include "printer/PpdGenerator.h"
#include "printer/QueueName.h"

namespace czs {

using CupsApiWrapper::AcceptPrinterJobsIppRequest;
using CupsApiWrapper::AddPrinterIppRequest;
using CupsApiWrapper::DeletePrinterIppRequest;
using CupsApiWrapper::IppRequestBase;
using CupsApiWrapper::IppRequestPtr;
using CupsApiWrapper::RejectPrinterJobsIppRequest;
using CupsApiWrapper::SetDefaultPrinterIppRequest;
using CupsApiWrapper::SetPrinterInfoIppRequest;

namespace {

// Builds the request of type R for `printer` and sends it; the request object
// lives only for this one send.
template <class R>
void send(PrinterManager& manager, const Printer& printer) {
    R request;
    request.setPrinter(printer);
    manager.runRequest(request.createRequest());
}

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// The document of a request as a file libcups can send: an anonymous memory
// file, so no half-written PPD is ever left on disk. -1 on failure.
int documentFd(const std::string& document) {
    const int fd = ::memfd_create("czs-ppd", MFD_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t done = 0;
    while (done < document.size()) {
        const ssize_t n = ::write(fd, document.data() + done, document.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

PrinterManager::PrinterManager(bool followHostDefault) : m_followHostDefault(followHostDefault) {}

PrinterManager::~PrinterManager() {
    freeDests();
}

bool PrinterManager::isOurDeviceUri(const char* deviceUri) {
    static const std::string kScheme = std::string(Printer::kBackend) + ":";
    return deviceUri != nullptr && std::strncmp(deviceUri, kScheme.c_str(), kScheme.size()) == 0;
}

void PrinterManager::setPrinters(const std::vector<Printer>& printers) {
    if (printers.empty()) {
        // A record of the previous list may name a queue of the
        // administrator's (which was left alone then); that one stays too.
        const bool look = !m_printers.empty() || !m_retiring.empty();
        m_destCount = look ? cupsGetDests(&m_dests) : 0;
        for (const Printer& printer : m_printers) {
            if (isForeignQueue(printer.cupsName)) continue;
            retireOrDelete(printer.cupsName, currentInfo(printer.cupsName));
        }
        // Queues retired by an earlier update go once their jobs have ended.
        const std::set<std::string> retiring = m_retiring;
        for (const std::string& name : retiring) {
            bool previous = false;
            for (const Printer& printer : m_printers) {
                previous = previous || ::strcasecmp(printer.cupsName.c_str(), name.c_str()) == 0;
            }
            if (!previous) retireOrDelete(name, currentInfo(name));
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
    assignQueueNames(m_printers, [this](const std::string& name) { return isForeignQueue(name); });
    for (const Printer& printer : m_printers) {
        if (printer.cupsName != naturalQueueName(printer.name)) {
            ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{"PrinterManager", "setPrinters"},
                       "host printer '%s' is queue %s\n", printer.name.c_str(), printer.cupsName.c_str());
        }
    }
    addPrinters();
    acceptPrinterJobs();
    deleteStalePrinters();
    followDefault();
    freeDests();
}

bool PrinterManager::runRequest(IppRequestPtr request, const std::string& document) {
    if (!request) {
        // Only an allocation failure in libcups gets here.
        ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{nullptr, __func__}, "[PrinterManager]:[%s] error: %s\n",
                   "runRequest", ippErrorString(IPP_STATUS_ERROR_INTERNAL));
        return false;
    }
    int fd = -1;
    if (!document.empty()) {
        fd = documentFd(document);
        if (fd < 0) {
            ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{"PrinterManager", "runRequest"},
                       "cannot stage the request's document: %s\n", std::strerror(errno));
            return false;
        }
    }
    // libcups takes the request and frees it, whatever the outcome.
    ipp_t* response = fd < 0 ? cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/admin/")
                             : cupsDoIORequest(CUPS_HTTP_DEFAULT, request.release(), "/admin/", fd, -1);
    if (fd >= 0) ::close(fd);
    // Without a response libcups' own last error says why (for instance the
    // scheduler is not running); the response's status is not available.
    const ipp_status_t status = response ? ippGetStatusCode(response) : cupsLastError();
    ippDelete(response);
    if (status <= IPP_STATUS_OK_CONFLICTING) {
        return true;
    }
    // This line's shape ("[tag]:[op] error:") differs from the tagged form,
    // so it is written whole.
    ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{nullptr, __func__}, "[PrinterManager]:[%s] error: %s\n",
               "runRequest", ippErrorString(status));
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
            // Only a hashed name can still be taken: the natural one was
            // passed over already.
            ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{"PrinterManager", "addPrinters"},
                       "queue %s is not ours, left as it is\n", printer.cupsName.c_str());
            continue;
        }
        // Listed again: the queue is no longer on its way out.
        m_retiring.erase(lowerAscii(printer.cupsName));
        addPrinter(printer);
    }
}

void PrinterManager::addPrinter(const Printer& printer) {
    const std::string key = lowerAscii(printer.cupsName);
    std::string problem;
    if (m_format != QueueFormat::Raw) {
        AddPrinterIppRequest request;
        request.setPrinter(printer);
        const std::string ppd = generatePpd({m_format, printer.makeAndModel, m_defaultPaper});
        if (!runRequest(request.createRequest(), ppd)) {
            problem = "the scheduler refused its PPD";
        } else {
            problem = conversionProblem(printer);
        }
        if (problem.empty()) {
            m_rawFallback.erase(key);
            return;
        }
        // Printing must keep working without the filters: the queue goes
        // raw, said once until its PPD works again.
        if (m_rawFallback.insert(key).second) {
            ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{"PrinterManager", "addPrinter"},
                       "queue %s cannot print %s, using a raw queue: %s\n", printer.cupsName.c_str(),
                       queueFormatName(m_format), problem.c_str());
        }
    }
    AddPrinterIppRequest request;
    request.setPrinter(printer);
    request.setRaw(true);
    runRequest(request.createRequest());
}

std::string PrinterManager::conversionProblem(const Printer& printer) const {
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    if (request == nullptr) return "no memory for a request";
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer.printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "document-format-supported");
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::string problem;
    if (response == nullptr || ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING) {
        problem = std::string("the scheduler did not describe the queue: ") +
                  ippErrorString(response ? ippGetStatusCode(response) : cupsLastError());
    } else {
        // Plain text is what every PDF and PostScript chain of CUPS's filters
        // can take; a queue that cannot has no working filters.
        ipp_attribute_t* formats = ippFindAttribute(response, "document-format-supported", IPP_TAG_MIMETYPE);
        bool text = false;
        for (int i = 0; formats != nullptr && i < ippGetCount(formats); ++i) {
            const char* format = ippGetString(formats, i, nullptr);
            text = text || (format != nullptr && std::strcmp(format, "text/plain") == 0);
        }
        if (!text) problem = "CUPS cannot convert text/plain for it (are the cups-filters installed?)";
    }
    ippDelete(response);
    return problem;
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
            retireOrDelete(dest.name, currentInfo(dest.name));
        }
    }
}

void PrinterManager::retireOrDelete(const std::string& queueName, const std::string& info) {
    const std::string key = lowerAscii(queueName);
    // The queue is addressed by its CUPS name, which the printer URI
    // encoding carries through unchanged ("+" arrives as "%2B").
    Printer queue(false, false, {}, {}, {}, {}, queueName, {});
    const int active = activeJobs(queueName);
    if (active == 0) {
        send<DeletePrinterIppRequest>(*this, queue);
        m_retiring.erase(key);
        return;
    }
    if (active < 0 && cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) {
        // No such queue (any more): nothing to delete or to wait for.
        m_retiring.erase(key);
        return;
    }
    if (m_retiring.count(key) != 0) return;  // refusing jobs already
    // Deleting would cancel what users printed: the queue takes no new job
    // and goes with the first update after its last one.
    if (active > 0) {
        ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{"PrinterManager", "retireOrDelete"},
                   "queue %s holds %d job(s): it refuses new jobs and goes after the last one\n", queueName.c_str(),
                   active);
    } else {
        ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{"PrinterManager", "retireOrDelete"},
                   "queue %s: its jobs could not be listed, so it refuses new jobs and stays for now\n",
                   queueName.c_str());
    }
    RejectPrinterJobsIppRequest reject;
    reject.setPrinter(queue);
    if (!runRequest(reject.createRequest())) {
        return;  // not refusing yet: the next update tries again
    }
    m_retiring.insert(key);
    const std::string suffix = kRetiredInfoSuffix;
    if (info.size() < suffix.size() || info.compare(info.size() - suffix.size(), suffix.size(), suffix) != 0) {
        queue.info = info + suffix;
        send<SetPrinterInfoIppRequest>(*this, queue);
    }
}

int PrinterManager::activeJobs(const std::string& queueName) {
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queueName.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
    cupsFreeJobs(count > 0 ? count : 0, jobs);
    return count;
}

std::string PrinterManager::currentInfo(const std::string& queueName) const {
    for (int i = 0; i < m_destCount; ++i) {
        const cups_dest_t& dest = m_dests[i];
        if (dest.instance == nullptr && dest.name != nullptr && ::strcasecmp(dest.name, queueName.c_str()) == 0) {
            const char* info = cupsGetOption("printer-info", dest.num_options, dest.options);
            return info != nullptr ? info : "";
        }
    }
    return {};
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
