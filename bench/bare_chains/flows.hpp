// Bare chains of the flows family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> flows_chains = {};

}  // namespace quillora::bench
