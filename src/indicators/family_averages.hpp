// Adaptive and compound averages: KAMA, TRIX, ZLEMA, HMA, TRIMA, STOCHRSI, PPO, APO, CMO.
#pragma once

#include "indicator.hpp"

namespace quillora::indicators {

using AveragesFamily = IndicatorList<>;

}  // namespace quillora::indicators
