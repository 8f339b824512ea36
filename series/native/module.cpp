// quillora_series._native: the native part of the companion package.
#include <nanobind/nanobind.h>

#include "table_kernels.hpp"

namespace nb = nanobind;

NB_MODULE(_native, module) {
    module.doc() = "Native part of quillora_series; use the package's Python API.";
    bind_table_kernels(module);
}
