#include "printer/IppRequest.h"

namespace czs::CupsApiWrapper {

IppRequestPtr IppRequestBase::newRequestForPrinter(ipp_op_t op) const {
    IppRequestPtr request(ippNewRequest(op));
    if (request) {
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     m_printer.printerUri.c_str());
    }
    return request;
}

IppRequestPtr AddPrinterIppRequest::createRequest() const {
    IppRequestPtr request = newRequestForPrinter(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    if (!request) {
        return request;
    }
    ipp_t* ipp = request.get();
    ippAddString(ipp, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, m_printer.info.c_str());
    ippAddString(ipp, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, m_printer.location.c_str());
    ippAddString(ipp, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, m_printer.deviceUri.c_str());
    ippAddString(ipp, IPP_TAG_PRINTER, IPP_TAG_TEXT, "device-make-and-model", nullptr, m_printer.makeAndModel.c_str());
    ippAddInteger(ipp, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    if (m_raw) {
        ippAddString(ipp, IPP_TAG_PRINTER, IPP_TAG_NAME, "ppd-name", nullptr, "raw");
    }
    return request;
}

IppRequestPtr SetPrinterInfoIppRequest::createRequest() const {
    IppRequestPtr request = newRequestForPrinter(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    if (request) {
        ippAddString(request.get(), IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, m_printer.info.c_str());
    }
    return request;
}

IppRequestPtr RejectPrinterJobsIppRequest::createRequest() const {
    IppRequestPtr request = newRequestForPrinter(IPP_OP_CUPS_REJECT_JOBS);
    if (request) {
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_TEXT, "printer-state-message", nullptr,
                     "no longer offered by the remote desktop's host");
    }
    return request;
}

IppRequestPtr DeletePrinterIppRequest::createRequest() const {
    return newRequestForPrinter(IPP_OP_CUPS_DELETE_PRINTER);
}

IppRequestPtr AcceptPrinterJobsIppRequest::createRequest() const {
    return newRequestForPrinter(IPP_OP_CUPS_ACCEPT_JOBS);
}

IppRequestPtr SetDefaultPrinterIppRequest::createRequest() const {
    return newRequestForPrinter(IPP_OP_CUPS_SET_DEFAULT);
}

}  // namespace czs::CupsApiWrapper
