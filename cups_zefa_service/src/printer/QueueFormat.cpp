#include "printer/QueueFormat.h"

#include <strings.h>

#include <string>

namespace czs {

const char* queueFormatName(QueueFormat format) {
    switch (format) {
        case QueueFormat::Pdf:
            return "pdf";
        case QueueFormat::PostScript:
            return "ps";
        case QueueFormat::Raw:
            break;
    }
    return "raw";
}

const char* queueFormatMimeType(QueueFormat format) {
    switch (format) {
        case QueueFormat::Pdf:
            return "application/pdf";
        case QueueFormat::PostScript:
            return "application/postscript";
        case QueueFormat::Raw:
            break;
    }
    return "";
}

QueueFormat chooseQueueFormat(PrintFormatSetting setting, std::string_view hostFormat, bool& unknown) {
    unknown = false;
    switch (setting) {
        case PrintFormatSetting::Pdf:
            return QueueFormat::Pdf;
        case PrintFormatSetting::PostScript:
            return QueueFormat::PostScript;
        case PrintFormatSetting::Raw:
            return QueueFormat::Raw;
        case PrintFormatSetting::Host:
            break;
    }
    const std::string text(hostFormat);
    if (::strcasecmp(text.c_str(), "pdf") == 0) return QueueFormat::Pdf;
    if (::strcasecmp(text.c_str(), "ps") == 0 || ::strcasecmp(text.c_str(), "postscript") == 0) {
        return QueueFormat::PostScript;
    }
    unknown = !text.empty() && ::strcasecmp(text.c_str(), "raw") != 0;
    return QueueFormat::Raw;
}

}  // namespace czs
