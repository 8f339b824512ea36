// Window extremes, sums and least-squares lines: MIDPRICE, MIDPOINT, MAX, MIN, SUM, LINEARREG family, TSF.
#pragma once

#include "extremes.hpp"
#include "indicator.hpp"
#include "linearreg.hpp"
#include "sum.hpp"

namespace quillora::indicators {

using RegressionFamily = IndicatorList<MidpriceState, MidpointState, MaxState, MinState, SumState, LinearregState,
                                       LinearregSlopeState, LinearregInterceptState, LinearregAngleState, TsfState>;

}  // namespace quillora::indicators
