// The one way the tasks wrap a payload into a type-4 frame for the host.
// Internal to the task area.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/Reply.h"

namespace czs::detail {

// Builds the frame around `payload`. On failure logs, with `tag` and the
// operation "createFrame", either `sizeText` (no frame size) or the memory
// allocation line, and returns an empty Reply.
Reply createFrame(const std::vector<uint8_t>& payload, const char* tag, const char* sizeText);

}  // namespace czs::detail
