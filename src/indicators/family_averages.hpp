// Adaptive and compound averages: KAMA, TRIX, ZLEMA, HMA, TRIMA, STOCHRSI, PPO, APO, CMO.
#pragma once

#include "cmo.hpp"
#include "hma.hpp"
#include "indicator.hpp"
#include "kama.hpp"
#include "price_oscillator.hpp"
#include "stochrsi.hpp"
#include "trima.hpp"
#include "trix.hpp"
#include "zlema.hpp"

namespace quillora::indicators {

using AveragesFamily =
    IndicatorList<KamaState, TrixState, ZlemaState, HmaState, TrimaState, StochrsiState, PpoState, ApoState, CmoState>;

}  // namespace quillora::indicators
