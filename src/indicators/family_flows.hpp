// Volume flows, channels and bar balance: AD, ADOSC, CMF, VWAP, KC, DONCHIAN, SUPERTREND, BOP.
#pragma once

#include "accumulation_distribution.hpp"
#include "bop.hpp"
#include "cmf.hpp"
#include "donchian.hpp"
#include "indicator.hpp"
#include "kc.hpp"
#include "supertrend.hpp"
#include "vwap.hpp"

namespace quillora::indicators {

using FlowsFamily =
    IndicatorList<AdState, AdoscState, CmfState, VwapState, KcState, DonchianState, SupertrendState, BopState>;

}  // namespace quillora::indicators
