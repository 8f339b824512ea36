// The marker written wherever an output position has no value.
#pragma once

#include <bit>
#include <cstdint>

namespace quillora {

// The quiet NaN with the sign bit clear; written by its bits so that no arithmetic can
// produce a different NaN payload.
inline constexpr double missing_value = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

}  // namespace quillora
