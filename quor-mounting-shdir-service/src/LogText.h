// The mount service logs through the runtime's log front (ORV_LOG) into the
// system log; this adds what its lines need for text taken from peers.
#pragma once

#include <runtime/Log.h>

#include <string>

namespace qmss {

// Replaces control bytes in text taken from peers, so a crafted name cannot
// forge extra log lines.
std::string printable(const std::string& text);

}  // namespace qmss
