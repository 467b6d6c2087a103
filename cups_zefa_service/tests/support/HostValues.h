// The values a printer record takes from the host's device entry, compared
// as one: a test states them in one line and a failure prints them all.
#pragma once

#include <ostream>
#include <string>

#include "printer/Printer.h"

namespace czs::test {

struct HostValues {
    bool isDefault = false;
    bool driverXps = false;
    std::string deviceId;
    std::string info;
    std::string location;
    std::string makeAndModel;
    bool operator==(const HostValues&) const = default;
};

inline HostValues hostValues(const Printer& p) {
    return {p.isDefault, p.driverXps, p.deviceId, p.info, p.location, p.makeAndModel};
}

inline void PrintTo(const HostValues& v, std::ostream* os) {
    *os << "{isDefault=" << v.isDefault << " driverXps=" << v.driverXps << " deviceId=\"" << v.deviceId << "\" info=\""
        << v.info << "\" location=\"" << v.location << "\" makeAndModel=\"" << v.makeAndModel << "\"}";
}

}  // namespace czs::test
