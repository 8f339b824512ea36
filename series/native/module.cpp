// quillora_series._native: the native part of the companion package.
#include <nanobind/nanobind.h>

#include "indicator_bindings.hpp"
#include "key_codes.hpp"
#include "lock_release.hpp"
#include "stream_states.hpp"
#include "table_kernels.hpp"

namespace nb = nanobind;

NB_MODULE(_native, module) {
    module.doc() = "Native part of quillora_series; use the package's Python API.";
    quillora::series::bind_stream_states(module);
    bind_table_kernels(module);
    quillora::series::bind_declared_indicators(module);
    quillora::series::bind_key_codes(module);
    quillora::series::install_exit_hook();
}
