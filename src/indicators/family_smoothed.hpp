// Recursive averages and oscillators: RMA, WMA, DEMA, TEMA, RSI, and the bar measures TRANGE, NATR, OBV.
#pragma once

#include "indicator.hpp"
#include "rma.hpp"

namespace quillora::indicators {

using SmoothedFamily = IndicatorList<RmaState>;

}  // namespace quillora::indicators
