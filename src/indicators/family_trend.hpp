// Directional movement, parabolic SAR, money flow, ultimate oscillator, Aroon.
#pragma once

#include "aroon.hpp"
#include "directional.hpp"
#include "indicator.hpp"
#include "mfi.hpp"
#include "sar.hpp"
#include "ultosc.hpp"

namespace quillora::indicators {

using TrendFamily = IndicatorList<AdxState, AdxrState, PlusDiState, MinusDiState, SarState, MfiState, UltoscState,
                                  AroonState, AroonoscState>;

}  // namespace quillora::indicators
