// Bare chains of the windowed family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> windowed_chains = {};

}  // namespace quillora::bench
