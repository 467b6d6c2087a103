// The three IPP requests that mirror a printer into CUPS. Each carries one
// printer record and builds a fresh libcups request from it.
#pragma once

#include <cups/ipp.h>

#include <memory>

#include "printer/Printer.h"

namespace czs::CupsApiWrapper {

struct IppDeleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
// A request that nobody has sent yet; sending hands it to libcups.
using IppRequestPtr = std::unique_ptr<ipp_t, IppDeleter>;

class IppRequestBase {
public:
    virtual ~IppRequestBase() = default;

    // Every attribute is added, also when its value is an empty string.
    virtual IppRequestPtr createRequest() const = 0;

    void setPrinter(const Printer& printer) { m_printer = printer; }
    const Printer& printer() const { return m_printer; }

protected:
    // A request with the given operation and "printer-uri" in its operation
    // group.
    IppRequestPtr newRequestForPrinter(ipp_op_t op) const;

    Printer m_printer;
};

// CUPS-Add-Modify-Printer: creates the queue or updates its description and
// device, and enables it (printer-state idle). A queue that is to have no
// PPD says so ("ppd-name" raw), so a PPD it had before goes.
class AddPrinterIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;

    void setRaw(bool raw) { m_raw = raw; }

private:
    bool m_raw = false;
};

// CUPS-Add-Modify-Printer with "printer-info" alone: changes only the
// description a print dialog shows.
class SetPrinterInfoIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;
};

// CUPS-Reject-Jobs: the queue keeps and prints what it holds but takes no
// new job; "printer-state-message" says why.
class RejectPrinterJobsIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;
};

// CUPS-Delete-Printer.
class DeletePrinterIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;
};

// CUPS-Accept-Jobs.
class AcceptPrinterJobsIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;
};

// CUPS-Set-Default: makes the queue the scheduler's default destination.
class SetDefaultPrinterIppRequest : public IppRequestBase {
public:
    IppRequestPtr createRequest() const override;
};

}  // namespace czs::CupsApiWrapper
