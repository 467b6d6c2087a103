// Feeds arbitrary JSON text as the "data" of a discovery response through
// TaskUpdatePrinters (parseParameters, then updatePrinters), with CUPS out of
// out of reach and the serial port as the host channel. An empty input
// stands for a response without "data". Input that is not one JSON value is
// not a message the host channel could deliver and is skipped.
//
// Checked properties:
// - the only exceptions that leave the task are the JSON library's type
//   errors, and when one does, the mirrored list is left as it was (CUPS is
//   touched only after every device was read);
// - after an update, the list holds one record per distinct device, in the
//   order the devices iterate, each carrying the device's values and derived
//   names: the CUPS name is one CUPS accepts, no two share one, and it is
//   the name with spaces as "+" unless that is invalid or claimed twice;
//   then the printer URI is the escaped name under
//   "ipp://localhost/printers/" and never longer than 1023 bytes; the device
//   URI is "zefa-prt://" + (no transport) + "/" + id;
// - the metadata strings land in the registry.
#include <cstdint>
#include <string>
#include <vector>

#include "service/FuzzSupport.h"
#include "printer/TaskUpdatePrinters.h"
#include "printer/HostChannelPath.h"
#include "printer/QueueName.h"
#include "printer/UpdatePrintersPerformer.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "task/PrintFileRegistry.h"

namespace {

using czs::fuzz::require;

std::string stringOr(const nlohmann::json& device, const char* key) {
    const auto it = device.find(key);
    return it == device.end() ? std::string() : it->get<std::string>();
}

// The printer URI's escaped name, decoded; "+" is a space, as "+" in a name
// is always escaped. Aborts on any byte the escaping never produces.
std::string decodeUriName(const std::string& uri) {
    static const std::string prefix = "ipp://localhost/printers/";
    require(uri.compare(0, prefix.size(), prefix) == 0, "printer URI starts with ipp://localhost/printers/");
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string name;
    for (size_t i = prefix.size(); i < uri.size(); ++i) {
        const char c = uri[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
            name += c;
        } else if (c == '+') {
            name += ' ';
        } else {
            require(c == '%' && i + 2 < uri.size() && hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0,
                    "printer URI has only letters, digits, '-', '+' and complete %XX escapes");
            const char byte = static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
            require(!((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                      byte == '-' || byte == ' '),
                    "letters, digits, '-' and space are never escaped");
            name += byte;
            i += 2;
        }
    }
    return name;
}

void checkRecord(const czs::Printer& printer, const nlohmann::json& device, bool collides) {
    require(device.is_object(), "a record comes only from a device object");
    require(printer.isDefault == device.value("isDefault", false), "isDefault carried");
    require(printer.driverXps == device.value("printer-driver-xps", false), "printer-driver-xps carried");
    const std::string name = stringOr(device, "name");
    const std::string deviceId = stringOr(device, "device-id");
    require(printer.name == name, "name carried");
    require(printer.deviceId == deviceId, "device-id carried");
    require(printer.info == stringOr(device, "printer-info"), "printer-info carried");
    require(printer.location == stringOr(device, "printer-location"), "printer-location carried");
    require(printer.makeAndModel == stringOr(device, "printer-make-and-model"), "make and model carried");
    require(printer.backend == "zefa-prt", "backend is zefa-prt");
    require(printer.transportPath == czs::kVirtioChannelPath, "the transport the service chose is named");
    require(printer.deviceUri == std::string("zefa-prt://") + czs::kVirtioChannelPath + "/" + deviceId,
            "device URI is zefa-prt://<transport>/<device-id>");

    // The queue name: the name with spaces as "+" while CUPS accepts it
    // (and no other record claims it), else a valid derived one, which the
    // URI then carries whole.
    std::string cupsName = name;
    for (char& c : cupsName) {
        if (c == ' ') c = '+';
    }
    require(czs::isValidQueueName(printer.cupsName), "every queue name is one CUPS accepts");
    if (printer.cupsName != cupsName) {
        require(!czs::isValidQueueName(cupsName) || collides, "the natural name is replaced only when it must be");
        require(printer.printerUri == czs::Printer::encodePrinterUri(printer.cupsName),
                "a derived name's URI carries it whole");
        return;
    }

    require(printer.printerUri.size() <= 1023, "printer URI fits its 1024-byte buffer");
    const std::string decoded = decodeUriName(printer.printerUri);
    require(name.compare(0, decoded.size(), decoded) == 0, "printer URI names a prefix of the name");
    if (decoded.size() < name.size()) {
        // Cut only where the next byte's escape would not fit.
        const unsigned char next = static_cast<unsigned char>(name[decoded.size()]);
        const bool plain = (next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') ||
                           (next >= '0' && next <= '9') || next == '-' || next == ' ';
        require(printer.printerUri.size() + (plain ? 1 : 3) > 1023, "printer URI is cut only when full");
    }
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

struct Snapshot {
    std::vector<std::string> names;
    std::vector<std::string> uris;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const czs::PrinterManager& manager) {
    Snapshot s;
    for (const auto& p : manager.printers()) {
        s.names.push_back(p.name);
        s.uris.push_back(p.deviceUri);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    czs::fuzz::quietLog();
    czs::fuzz::isolateFromSystem();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    using namespace czs;
    static PrintFileRegistry registry;
    // The default printer is left alone: the fuzzer has no scheduler to ask.
    static UpdatePrintersPerformer performer(HostTransport::SerialPort, registry, false);

    PrintProtocolJsonMsg message(kMethodDiscovery, kMsgTypeResponse);
    nlohmann::json data;  // null: no "data" member
    if (size != 0) {
        data = nlohmann::json::parse(bytes, bytes + size, nullptr, false, false);
        if (data.is_discarded()) return -1;  // keep it out of the corpus
        message.setField("data", data);
    }

    const Snapshot before = snapshot(performer.manager());
    registry.setPlatform("\x01unset");
    registry.setPrintFileFormat("\x01unset");
    try {
        TaskUpdatePrinters task(performer, message);
        const Reply reply = task.execute();
        require(reply.empty(), "a printer update sends nothing back");
    } catch (const nlohmann::json::type_error&) {
        require(snapshot(performer.manager()) == before, "a failed update leaves the mirrored list alone");
        return 0;
    } catch (...) {
        fuzz::fail("an exception other than a JSON type error left the update");
    }

    if (data.is_null()) {
        require(performer.manager().printers().empty(), "an update without data empties the list");
        return 0;
    }
    require(data.is_object(), "only an object as data updates successfully");
    const nlohmann::json& meta = data.at("meta");
    require(meta.is_object(), "only an object as meta updates successfully");
    require(registry.metadata().platform == meta.value("platform", std::string()), "platform stored");
    require(registry.metadata().printFileFormat == meta.value("print-file-format", std::string()),
            "print-file-format stored");

    const auto devices = data.find("devices");
    std::vector<nlohmann::json> listed;
    if (devices != data.end()) {
        for (const auto& d : *devices)
            listed.push_back(d);
    }
    // A device listed twice with the same values is one printer.
    std::vector<nlohmann::json> distinct;
    for (const auto& d : listed) {
        nlohmann::json key = nlohmann::json::object();
        for (const char* k : {"isDefault", "printer-driver-xps"})
            key[k] = d.value(k, false);
        for (const char* k : {"name", "device-id", "printer-info", "printer-location", "printer-make-and-model"}) {
            key[k] = stringOr(d, k);
        }
        bool seen = false;
        for (const auto& e : distinct)
            seen = seen || e == key;
        if (!seen) distinct.push_back(key);
    }
    const auto& printers = performer.manager().printers();
    require(printers.size() == distinct.size(), "one record per distinct device");
    std::vector<std::string> names;
    for (const auto& p : printers)
        names.push_back(lower(p.cupsName));
    for (size_t i = 0; i < distinct.size(); ++i) {
        std::string natural = stringOr(distinct[i], "name");
        for (char& c : natural) {
            if (c == ' ') c = '+';
        }
        bool collides = false;
        for (size_t j = 0; j < distinct.size(); ++j) {
            std::string other = stringOr(distinct[j], "name");
            for (char& c : other) {
                if (c == ' ') c = '+';
            }
            collides = collides || (j != i && lower(other) == lower(natural));
        }
        checkRecord(printers[i], distinct[i], collides);
        for (size_t j = 0; j < i; ++j)
            require(names[j] != names[i], "no two records share a queue");
    }
    return 0;
}
