// Bare chains of the trend family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> trend_chains = {};

}  // namespace quillora::bench
