#include "printer/PaperSize.h"

#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstdint>
#include <fstream>
#include <set>

namespace czs {

namespace {

// Territories whose convention is US Letter, for a locale that is named but
// not installed (Debian ships only C.UTF-8 by default).
const std::set<std::string, std::less<>> kLetterTerritories = {"US", "CA", "MX", "PR", "PH", "CL", "CO",
                                                               "CR", "GT", "NI", "PA", "SV", "VE"};

std::string paperFromLocale(const char* lcPaper) {
    if (lcPaper == nullptr || *lcPaper == '\0') return {};
    const std::string value(lcPaper);
    // The C locale states no preference of the user's.
    if (value == "C" || value == "POSIX" || value.rfind("C.", 0) == 0) return {};
    if (locale_t loc = ::newlocale(LC_PAPER_MASK, lcPaper, static_cast<locale_t>(nullptr))) {
        // glibc answers the paper's size in millimetres, as a 32-bit word
        // in the place of the string pointer.
        const auto word = [loc](nl_item item) {
            return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(::nl_langinfo_l(item, loc)) & 0xFFFFFFFFu);
        };
        const unsigned width = word(_NL_PAPER_WIDTH);
        const unsigned height = word(_NL_PAPER_HEIGHT);
        ::freelocale(loc);
        if (width == 216 && height == 279) return "Letter";
        if (width == 210 && height == 297) return "A4";
    }
    // "ll_TT.codeset@modifier": the territory alone decides.
    const auto underscore = value.find('_');
    if (underscore == std::string::npos) return {};
    const std::string territory = value.substr(underscore + 1, 2);
    if (territory.size() != 2) return {};
    return kLetterTerritories.count(territory) != 0 ? "Letter" : "A4";
}

std::string paperFromFile(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const auto end = line.find_first_of(" \t\r", start);
        return paperByName(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    }
    return {};
}

}  // namespace

std::string paperByName(std::string_view name) {
    const std::string text(name);
    for (const PaperSize& paper : kPaperSizes) {
        if (::strcasecmp(text.c_str(), paper.ppdName) == 0) return paper.ppdName;
    }
    if (::strcasecmp(text.c_str(), "DL") == 0) return "EnvDL";
    return {};
}

std::string defaultPaperSize(const char* lcPaper, const std::string& papersizeFile) {
    std::string paper = paperFromLocale(lcPaper);
    if (paper.empty()) paper = paperFromFile(papersizeFile);
    return paper.empty() ? "A4" : paper;
}

}  // namespace czs
