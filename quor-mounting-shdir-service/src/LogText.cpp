#include "LogText.h"

namespace qmss {

std::string printable(const std::string& text) {
    std::string out = text;
    for (auto& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

}  // namespace qmss
