// Every declared indicator as a native class of quillora_series._native: live state, series and
// table entry points, all stepping the library's one definition.
#pragma once

#include <nanobind/nanobind.h>

namespace quillora::series {

// Adds one `<Name>State` class per declared indicator.
void bind_declared_indicators(nanobind::module_& module);

}  // namespace quillora::series
