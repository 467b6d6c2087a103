// One mirrored CUPS queue: the host's description of a printer plus the names
// and URIs under which CUPS knows it.
#pragma once

#include <cstddef>
#include <string>

namespace czs {

struct Printer {
    static constexpr const char* kBackend = "zefa-prt";
    static constexpr const char* kPrinterUriPrefix = "ipp://localhost/printers/";
    // The URI is built in a 1024-byte buffer that keeps room for its
    // terminating zero byte.
    static constexpr std::size_t kMaxPrinterUri = 1023;

    // A blank record: empty strings, both flags clear.
    Printer() = default;

    // Derives cupsName, deviceUri and printerUri from the host's values and
    // the host channel's device path (that of the transport the service
    // opened).
    Printer(bool isDefault, bool driverXps, std::string deviceId, std::string info, std::string location,
            std::string makeAndModel, std::string name, std::string transportPath);

    // The printer URI for a queue name: letters, digits and "-" as they are,
    // a space as "+", every other byte as "%XX"; cut before the first byte
    // whose output would not fit in kMaxPrinterUri bytes.
    static std::string encodePrinterUri(const std::string& name);

    // Makes `queueName` the record's CUPS name and addresses the queue by
    // it. While it is the host's own name (spaces as "+"), the URI is the
    // host name's encoding, as it always was.
    void setQueueName(const std::string& queueName);

    std::string backend = kBackend;
    bool isDefault = false;
    bool driverXps = false;
    std::string deviceId;
    std::string info;
    std::string location;
    std::string makeAndModel;
    std::string name;
    std::string deviceUri;
    std::string printerUri;
    std::string cupsName;
    std::string transportPath;
};

}  // namespace czs
