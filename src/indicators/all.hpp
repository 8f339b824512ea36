// Every declared indicator, family by family: the bindings serve each one in every mode.
#pragma once

#include "family_averages.hpp"
#include "family_flows.hpp"
#include "family_regression.hpp"
#include "family_smoothed.hpp"
#include "family_trend.hpp"
#include "family_windowed.hpp"

namespace quillora::indicators {

template <typename... States>
struct Join;
template <typename... A, typename... B, typename... Rest>
struct Join<IndicatorList<A...>, IndicatorList<B...>, Rest...> : Join<IndicatorList<A..., B...>, Rest...> {};
template <typename... A>
struct Join<IndicatorList<A...>> {
    using type = IndicatorList<A...>;
};

using AllIndicators =
    Join<SmoothedFamily, WindowedFamily, TrendFamily, AveragesFamily, FlowsFamily, RegressionFamily>::type;

}  // namespace quillora::indicators
