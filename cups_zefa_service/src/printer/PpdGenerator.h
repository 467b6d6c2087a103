// The PPD of a mirrored queue: a fixed template in which only the format's
// filter line, the default paper and the host's make-and-model vary. Host
// strings are reduced to letters, digits, space and "._()-" before they enter
// it, so no host value can add a line or a keyword to the PPD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "printer/QueueFormat.h"

namespace czs {

struct PpdDescription {
    QueueFormat format = QueueFormat::Pdf;
    std::string makeAndModel;         // the host's, untrusted
    std::string defaultPaper = "A4";  // a PPD name from kPaperSizes
};

/// Keeps the bytes of `text` that are ASCII letters, digits, space or one of
/// "._()-", collapses runs of spaces, trims, and cuts to `maxBytes`.
std::string sanitizePpdText(std::string_view text, std::size_t maxBytes);

/// The PPD for `description`; empty for QueueFormat::Raw. A default paper
/// that is not offered becomes A4.
std::string generatePpd(const PpdDescription& description);

}  // namespace czs
