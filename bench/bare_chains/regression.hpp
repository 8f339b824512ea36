// Bare chains of the regression family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> regression_chains = {};

}  // namespace quillora::bench
