#include "printer/UpdatePrintersPerformer.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <runtime/Log.h>
#include "printer/HostChannelPath.h"
#include "printer/PaperSize.h"
#include "printer/QueueFormat.h"

namespace czs {

UpdatePrintersPerformer::UpdatePrintersPerformer(HostTransport transport, PrintFileRegistry& registry,
                                                 bool followHostDefault, PrintFormatSetting printFormat)
    : m_manager(followHostDefault),
      m_transportPath(hostChannelPath(transport)),
      m_registry(registry),
      m_printFormat(printFormat) {
    m_manager.setDefaultPaper(defaultPaperSize(std::getenv("LC_PAPER")));
}

void UpdatePrintersPerformer::parseParameters(const PrintProtocolJsonMsg& message) {
    const nlohmann::json& document = message.jsonValue();
    nlohmann::json data;
    if (document.is_object()) {
        const auto it = document.find("data");
        if (it != document.end()) {
            data = *it;
        }
    }
    m_json = std::move(data);
    if (!m_json.is_null()) {
        setMetaData();
    } else {
        ORV_LOG(Error, "json is null\n");
    }
}

void UpdatePrintersPerformer::setMetaData() {
    // The inserting subscript turns a missing "meta" into null, which then
    // fails in value(): an update without metadata changes no printer.
    m_registry.setPlatform(m_json["meta"].value("platform", std::string()));
    m_registry.setPrintFileFormat(m_json["meta"].value("print-file-format", std::string()));
}

void UpdatePrintersPerformer::updatePrinters() {
    if (m_json.is_null()) {
        m_manager.setPrinters({});
        return;
    }
    ORV_LOG(Info, "printers:\n");

    std::vector<Printer> printers;
    // An object of devices iterates sorted by member name; null iterates as
    // empty; any other non-array value is one element that is not an object.
    for (const nlohmann::json& element : m_json["devices"]) {
        const nlohmann::json device = element;
        const bool isDefault = device.value("isDefault", false);
        const bool driverXps = device.value("printer-driver-xps", false);
        std::string deviceId = device.value("device-id", std::string());
        std::string info = device.value("printer-info", std::string());
        std::string location = device.value("printer-location", std::string());
        std::string makeAndModel = device.value("printer-make-and-model", std::string());
        std::string name = device.value("name", std::string());
        ::orv::log(::orv::LogLevel::Info, ::orv::LogTag{nullptr, __func__}, "\tinfo=%s location=%s model=%s name=%s\n",
                   info.c_str(), location.c_str(), makeAndModel.c_str(), name.c_str());
        printers.emplace_back(isDefault, driverXps, std::move(deviceId), std::move(info), std::move(location),
                              std::move(makeAndModel), std::move(name), m_transportPath);
    }
    const std::string hostFormat = m_registry.metadata().printFileFormat;
    bool unknown = false;
    m_manager.setQueueFormat(chooseQueueFormat(m_printFormat, hostFormat, unknown));
    if (unknown) {
        ORV_LOG(Error, "print-file-format '%s' is not pdf, ps or raw: the queues stay raw\n", hostFormat.c_str());
    }
    m_manager.setPrinters(printers);
}

}  // namespace czs
