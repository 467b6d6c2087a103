// The bytes one delivery of a connection carries: owned and contiguous.
#pragma once

#include <cstdint>
#include <vector>

namespace czs {

using RawStreamData = std::vector<uint8_t>;

}  // namespace czs
