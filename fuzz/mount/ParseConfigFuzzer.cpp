// Any configuration file: parse_config must return a record and never throw.
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "Config.h"
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qmss::fuzz::quiet_logs();
    static const std::string dir = qmss::fuzz::fresh_dir();
    const std::string path = dir + "/c.yaml";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    qmss::ServiceConfig c = qmss::parse_config(path);
    qmss::log_config(c);
    return 0;
}
