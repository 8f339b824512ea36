// Directional movement, parabolic SAR, money flow, ultimate oscillator, Aroon.
#pragma once

#include "indicator.hpp"

namespace quillora::indicators {

using TrendFamily = IndicatorList<>;

}  // namespace quillora::indicators
