// What a mirrored queue hands to the zefa-prt backend, chosen from the
// host's "print-file-format" unless the administrator's setting fixes it.
#pragma once

#include <string_view>

#include "common/DaemonConfig.h"

namespace czs {

enum class QueueFormat {
    Raw,         // whatever the application printed, unchanged (no PPD)
    Pdf,         // CUPS's filters turn every job into PDF
    PostScript,  // ... into PostScript
};

/// "raw", "pdf" or "ps", for log lines.
const char* queueFormatName(QueueFormat format);

/// The MIME type the backend receives from a queue of `format`; empty for Raw.
const char* queueFormatMimeType(QueueFormat format);

/// The queue format for the setting and the host's format string: "pdf" ->
/// Pdf, "ps" or "postscript" -> PostScript (ignoring case), anything else ->
/// Raw. `unknown` is set when the host's string decided and named none of
/// "pdf", "ps", "postscript", "raw" or "" (so the caller can say so).
QueueFormat chooseQueueFormat(PrintFormatSetting setting, std::string_view hostFormat, bool& unknown);

}  // namespace czs
