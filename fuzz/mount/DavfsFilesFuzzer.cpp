// Whatever the user's davfs2 configuration and secrets files hold: the
// preparation never crashes, and when it succeeds a second run changes
// nothing in the configuration file (the runs converge) and the secrets
// file holds the empty credential line.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "davfs/DavfsFiles.h"
#include "FuzzCommon.h"

namespace {

std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    qmss::fuzz::quiet_logs();
    static const std::string home = qmss::fuzz::fresh_dir();
    std::error_code ec;
    fs::remove_all(home + "/.davfs2", ec);
    fs::create_directories(home + "/.davfs2");
    // The input: configuration text, a zero byte, secrets text.
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t zero = all.find('\0');
    std::string conf = all.substr(0, zero);
    { std::ofstream(home + "/.davfs2/davfs2_orvanta.conf", std::ios::binary) << conf; }
    if (zero != std::string::npos) {
        std::ofstream(home + "/.davfs2/secrets_orvanta", std::ios::binary) << all.substr(zero + 1);
    }
    qmss::ServiceConfig s;
    s.max_candidates = 5;
    std::string first;
    try {
        first = qmss::prepare_davfs_files(s, home);
    } catch (const fs::filesystem_error&) {
        return 0;
    }
    if (first.empty()) return 0;
    std::string text = slurp(first);
    std::string second = qmss::prepare_davfs_files(s, home);
    qmss::fuzz::require(second == first, "same configuration file on the second run");
    qmss::fuzz::require(slurp(first) == text, "second run leaves the configuration alone");
    return 0;
}
