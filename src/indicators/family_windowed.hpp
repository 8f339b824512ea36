// Trailing-window statistics and oscillators: VAR, STDDEV, BBANDS, ROC family, MOM, STOCH, STOCHF, WILLR, CCI.
#pragma once

#include "bbands.hpp"
#include "cci.hpp"
#include "indicator.hpp"
#include "rate_of_change.hpp"
#include "stochastic.hpp"
#include "variance.hpp"
#include "willr.hpp"

namespace quillora::indicators {

using WindowedFamily = IndicatorList<VarState, StddevState, BbandsState, RocState, RocpState, RocrState, MomState,
                                     StochState, StochfState, WillrState, CciState>;

}  // namespace quillora::indicators
