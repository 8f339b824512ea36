// Bare chains of the averages family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> averages_chains = {};

}  // namespace quillora::bench
