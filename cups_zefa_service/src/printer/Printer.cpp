#include "printer/Printer.h"

#include <utility>

#include "printer/QueueName.h"

namespace czs {

namespace {

// Only ASCII letters pass unescaped, whatever locale the process runs in.
bool isAsciiAlnumOrDash(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

Printer::Printer(bool isDefault_, bool driverXps_, std::string deviceId_, std::string info_, std::string location_,
                 std::string makeAndModel_, std::string name_, std::string transportPath_)
    : isDefault(isDefault_),
      driverXps(driverXps_),
      deviceId(std::move(deviceId_)),
      info(std::move(info_)),
      location(std::move(location_)),
      makeAndModel(std::move(makeAndModel_)),
      name(std::move(name_)) {
    cupsName = name;
    for (char& c : cupsName) {
        if (c == ' ') {
            c = '+';
        }
    }
    transportPath = std::move(transportPath_);
    deviceUri = backend + "://" + transportPath + "/" + deviceId;
    printerUri = encodePrinterUri(name);
}

void Printer::setQueueName(const std::string& queueName) {
    const bool natural = queueName == naturalQueueName(name);
    cupsName = queueName;
    printerUri = encodePrinterUri(natural ? name : queueName);
}

std::string Printer::encodePrinterUri(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = kPrinterUriPrefix;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        char out[3];
        std::size_t n = 1;
        if (isAsciiAlnumOrDash(c)) {
            out[0] = ch;
        } else if (c == ' ') {
            out[0] = '+';
        } else {
            out[0] = '%';
            out[1] = kHex[c >> 4];
            out[2] = kHex[c & 0x0F];
            n = 3;
        }
        if (uri.size() + n > kMaxPrinterUri) {
            break;
        }
        uri.append(out, n);
    }
    return uri;
}

}  // namespace czs
