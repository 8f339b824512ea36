// Window extremes, sums and least-squares lines: MIDPRICE, MIDPOINT, MAX, MIN, SUM, LINEARREG family, TSF.
#pragma once

#include "indicator.hpp"

namespace quillora::indicators {

using RegressionFamily = IndicatorList<>;

}  // namespace quillora::indicators
