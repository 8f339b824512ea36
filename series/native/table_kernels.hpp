// Table kernels of quillora_series._native: many symbols per call, in vector lanes and threads.
#pragma once

#include <nanobind/nanobind.h>

// Adds table_sma, table_ema, table_macd and table_atr to the module.
void bind_table_kernels(nanobind::module_& module);
