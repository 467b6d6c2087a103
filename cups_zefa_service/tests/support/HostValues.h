// The values a printer record takes from the host's device entry (isDefault,
// driverXps, deviceId, info, location, makeAndModel, in the order of the
// record's constructor), compared as one: a test states them in one line and
// a failure prints them all.
#pragma once

#include <tuple>

#include "printer/Printer.h"

namespace czs::test {

inline auto hostValues(const Printer& p) {
    return std::tie(p.isDefault, p.driverXps, p.deviceId, p.info, p.location, p.makeAndModel);
}

}  // namespace czs::test
