// Feeds hostile printer records to the PPD generator and the queue naming.
// The first byte picks the format (bit 0: PDF or PostScript) and the default
// paper (the rest, modulo the sizes offered, and one value past them for an
// unknown name); the remaining bytes are a device object of the host's
// printer list as JSON text, or, when they are not one, the make-and-model
// itself.
//
// Checked properties:
// - the PPD holds only printable ASCII and newlines, every line is a "*"
//   line with balanced quotes, and it has exactly the lines and main
//   keywords of the PPD of a plain make-and-model: a host string never adds
//   a line, a keyword or a quote;
// - *ModelName, *ShortNickName and *NickName carry only letters, digits,
//   space and "._()-" (plus the fixed suffix), within their bounds;
// - the record's queue name is one CUPS accepts, and naming is stable.
#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/FuzzSupport.h"
#include "printer/PaperSize.h"
#include "printer/PpdGenerator.h"
#include "printer/QueueName.h"

namespace {

using czs::fuzz::require;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

std::multiset<std::string> keywords(const std::vector<std::string>& ppdLines) {
    std::multiset<std::string> out;
    for (const std::string& line : ppdLines) {
        if (line.rfind("*%", 0) != 0) out.insert(line.substr(0, line.find_first_of(": ")));
    }
    return out;
}

bool safeText(const std::string& s) {
    for (char c : s) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                        c == '.' || c == '_' || c == '(' || c == ')' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// The quoted value of the line starting with `key`.
std::string valueOf(const std::vector<std::string>& ppdLines, const std::string& key) {
    for (const std::string& line : ppdLines) {
        if (line.rfind(key + ": \"", 0) == 0) {
            const auto open = line.find('"');
            return line.substr(open + 1, line.rfind('"') - open - 1);
        }
    }
    czs::fuzz::fail("a fixed keyword is missing");
}

std::string stringMember(const nlohmann::json& device, const char* key) {
    const auto it = device.find(key);
    return it != device.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const czs::QueueFormat format = (data[0] & 1) != 0 ? czs::QueueFormat::PostScript : czs::QueueFormat::Pdf;
    constexpr std::size_t kSizes = sizeof czs::kPaperSizes / sizeof czs::kPaperSizes[0];
    const std::size_t paperIndex = (data[0] >> 1) % (kSizes + 1);
    const std::string paper = paperIndex < kSizes ? czs::kPaperSizes[paperIndex].ppdName : "Tabloid";
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string makeAndModel = rest;
    std::string name = rest;
    const nlohmann::json device = nlohmann::json::parse(rest, nullptr, false);
    if (device.is_object()) {
        makeAndModel = stringMember(device, "printer-make-and-model");
        name = stringMember(device, "name");
    }

    const std::string ppd = czs::generatePpd({format, makeAndModel, paper});
    const std::string plain = czs::generatePpd({format, "Plain Model", paper});
    for (char c : ppd) {
        const auto u = static_cast<unsigned char>(c);
        require(c == '\n' || (u >= 0x20 && u < 0x7F), "only printable ASCII and newlines");
    }
    const std::vector<std::string> got = lines(ppd);
    const std::vector<std::string> reference = lines(plain);
    require(got.size() == reference.size(), "as many lines as the plain PPD");
    for (const std::string& line : got) {
        require(!line.empty() && line[0] == '*', "every line is a keyword line");
        std::size_t quotes = 0;
        for (char c : line)
            quotes += c == '"';
        require(quotes % 2 == 0, "quotes are balanced on every line");
    }
    require(keywords(got) == keywords(reference), "the same keywords as the plain PPD");

    const std::string modelName = valueOf(got, "*ModelName");
    const std::string shortNickName = valueOf(got, "*ShortNickName");
    const std::string nickName = valueOf(got, "*NickName");
    require(safeText(modelName) && modelName.find_first_of("()_") == std::string::npos && !modelName.empty() &&
                modelName.size() <= 60,
            "*ModelName is safe, non-empty and bounded");
    require(safeText(shortNickName) && !shortNickName.empty() && shortNickName.size() <= 31,
            "*ShortNickName is safe, non-empty and at most 31 bytes");
    const std::string suffix = format == czs::QueueFormat::Pdf ? " (PDF to the host)" : " (PostScript to the host)";
    const std::size_t modelBytes = nickName.size() - std::min(nickName.size(), suffix.size());
    require(nickName.size() > suffix.size() && nickName.compare(modelBytes, suffix.size(), suffix) == 0 &&
                safeText(nickName.substr(0, modelBytes)),
            "*NickName is the safe model and the fixed suffix");

    std::vector<czs::Printer> records = {czs::Printer(false, false, "1", "", "", makeAndModel, name, ""),
                                         czs::Printer(false, false, "2", "", "", "", name, "")};
    czs::assignQueueNames(records, [](const std::string&) { return false; });
    require(records.size() == 2, "two different records stay two");
    for (const czs::Printer& p : records)
        require(czs::isValidQueueName(p.cupsName), "queue names are valid");
    require(records[0].cupsName != records[1].cupsName, "two records of one name get two queues");
    std::vector<czs::Printer> again = records;
    czs::assignQueueNames(again, [](const std::string&) { return false; });
    require(again[0].cupsName == records[0].cupsName && again[1].cupsName == records[1].cupsName, "naming is stable");
    return 0;
}
