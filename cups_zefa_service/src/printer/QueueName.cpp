#include "printer/QueueName.h"

#include <openssl/evp.h>

#include <algorithm>
#include <map>
#include <set>

namespace czs {

namespace {

constexpr std::size_t kMaxQueueNameBytes = 126;
constexpr std::size_t kHashedBaseBytes = 100;

bool isQueueNameByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '+' || c == '-';
}

std::string sha256Hex6(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 3) {
        // Not reachable with a working libcrypto; a fixed suffix still
        // yields a valid name.
        return "000000";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 3; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0x0F];
    }
    return out;
}

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

bool isValidQueueName(std::string_view name) {
    if (name.empty() || name.size() > kMaxQueueNameBytes) return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F || ch == '/' || ch == '\\' || ch == '?' || ch == '\'' || ch == '"' || ch == '#') {
            return false;
        }
    }
    return true;
}

std::string naturalQueueName(std::string_view hostName) {
    std::string name(hostName);
    std::replace(name.begin(), name.end(), ' ', '+');
    return name;
}

std::string hashedQueueName(std::string_view hostName, std::string_view hashInput) {
    std::string base = naturalQueueName(hostName);
    for (char& c : base) {
        if (!isQueueNameByte(static_cast<unsigned char>(c))) c = '_';
    }
    if (base.size() > kHashedBaseBytes) base.resize(kHashedBaseBytes);
    if (base.empty()) base = "printer";
    return base + "-" + sha256Hex6(hashInput);
}

std::string recordKey(const Printer& printer) {
    std::string key;
    for (const std::string* field :
         {&printer.name, &printer.deviceId, &printer.info, &printer.location, &printer.makeAndModel}) {
        key += *field;
        key += '\0';
    }
    key += printer.isDefault ? '1' : '0';
    key += printer.driverXps ? '1' : '0';
    return key;
}

void assignQueueNames(std::vector<Printer>& printers, const std::function<bool(const std::string&)>& heldByForeign) {
    // Exact duplicates first: they would only fight over one queue.
    std::set<std::string> seen;
    std::vector<Printer> unique;
    for (Printer& printer : printers) {
        if (seen.insert(recordKey(printer)).second) unique.push_back(std::move(printer));
    }
    printers = std::move(unique);

    std::map<std::string, std::vector<std::size_t>> byName;
    std::vector<std::string> names(printers.size());
    for (std::size_t i = 0; i < printers.size(); ++i) {
        const std::string natural = naturalQueueName(printers[i].name);
        names[i] = isValidQueueName(natural) && !heldByForeign(natural)
                       ? natural
                       : hashedQueueName(printers[i].name, printers[i].name);
        byName[lowerAscii(names[i])].push_back(i);
    }
    for (auto& [lower, members] : byName) {
        if (members.size() < 2) continue;
        // The order of the host's list must not decide who keeps the name.
        std::sort(members.begin(), members.end(),
                  [&](std::size_t a, std::size_t b) { return recordKey(printers[a]) < recordKey(printers[b]); });
        for (std::size_t k = 1; k < members.size(); ++k) {
            const Printer& p = printers[members[k]];
            names[members[k]] = hashedQueueName(p.name, recordKey(p));
        }
    }
    for (std::size_t i = 0; i < printers.size(); ++i) {
        printers[i].setQueueName(names[i]);
    }
}

}  // namespace czs
