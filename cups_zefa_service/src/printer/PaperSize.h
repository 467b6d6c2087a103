// The paper sizes a generated PPD offers, and which of them is the default
// on this guest.
#pragma once

#include <string>
#include <string_view>

namespace czs {

struct PaperSize {
    const char* ppdName;  // the PPD choice, e.g. "A4"
    const char* text;     // what a print dialog shows
    int width;            // points (1/72 inch)
    int height;
};

inline constexpr PaperSize kPaperSizes[] = {
    {"A4", "A4", 595, 842},
    {"Letter", "US Letter", 612, 792},
    {"Legal", "US Legal", 612, 1008},
    {"A3", "A3", 842, 1191},
    {"A5", "A5", 420, 595},
    {"Env10", "Envelope #10", 297, 684},
    {"EnvDL", "Envelope DL", 312, 624},
};

inline constexpr const char* kPapersizeFile = "/etc/papersize";

/// The PPD name of the default paper: from the locale named by `lcPaper`
/// (the LC_PAPER value; null or empty when unset), else the first word of
/// `papersizeFile` (libpaper's system setting, e.g. "a4" or "letter"), else
/// A4. A value naming no size of kPaperSizes is passed over.
std::string defaultPaperSize(const char* lcPaper, const std::string& papersizeFile = kPapersizeFile);

/// The PPD name for a paper name such as "a4", "letter" or "A5"
/// (case-insensitive); empty when it is none of kPaperSizes.
std::string paperByName(std::string_view name);

}  // namespace czs
