// Live-data states of quillora_series: the indicator library's resumable states as Python types.
#pragma once

#include <nanobind/nanobind.h>

namespace quillora::series {

// Adds SmaState, EmaState, MacdState and AtrState to the module.
void bind_stream_states(nanobind::module_& module);

}  // namespace quillora::series
