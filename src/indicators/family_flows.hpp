// Volume flows, regression, channels and window extremes: AD, ADOSC, CMF, VWAP, KC, DONCHIAN, SUPERTREND, BOP.
#pragma once

#include "indicator.hpp"

namespace quillora::indicators {

using FlowsFamily = IndicatorList<>;

}  // namespace quillora::indicators
