// Trailing-window statistics and oscillators: VAR, STDDEV, BBANDS, ROC family, MOM, STOCH, STOCHF, WILLR, CCI.
#pragma once

#include "indicator.hpp"

namespace quillora::indicators {

using WindowedFamily = IndicatorList<>;

}  // namespace quillora::indicators
