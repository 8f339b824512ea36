// Adaptive and compound averages: KAMA, TRIX, ZLEMA, HMA, TRIMA, STOCHRSI, PPO, APO, CMO.
#pragma once

#include "hma.hpp"
#include "indicator.hpp"
#include "kama.hpp"
#include "price_oscillator.hpp"
#include "trima.hpp"
#include "trix.hpp"
#include "zlema.hpp"

namespace quillora::indicators {

using AveragesFamily = IndicatorList<KamaState, TrixState, ZlemaState, HmaState, TrimaState, PpoState, ApoState>;

}  // namespace quillora::indicators
