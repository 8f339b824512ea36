// Symbol codes of a long table's rows from hashes of their keys.
#pragma once

#include <nanobind/nanobind.h>

namespace quillora::series {

void bind_key_codes(nanobind::module_& module);

}  // namespace quillora::series
