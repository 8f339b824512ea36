// Recursive averages and oscillators: RMA, WMA, DEMA, TEMA, RSI, and the bar measures TRANGE, NATR, OBV.
#pragma once

#include "dema.hpp"
#include "indicator.hpp"
#include "natr.hpp"
#include "obv.hpp"
#include "rma.hpp"
#include "rsi.hpp"
#include "tema.hpp"
#include "trange.hpp"
#include "wma.hpp"

namespace quillora::indicators {

using SmoothedFamily =
    IndicatorList<RmaState, WmaState, DemaState, TemaState, RsiState, TrangeState, NatrState, ObvState>;

}  // namespace quillora::indicators
