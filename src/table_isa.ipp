// The table kernels built for one instruction set. A unit that includes this defines
// QUILLORA_TABLE_ISA (its namespace) and QUILLORA_TABLE_WIDTH (doubles per register) and is
// compiled for that instruction set. Everything but the kernel table has internal linkage and no
// standard-library template is instantiated, so the linker can never hand a narrower instruction
// set's caller a function body compiled for a wider one.
#include <cstddef>
#include <cstdint>
#include <utility>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "table_job.hpp"

#include "table_lanes.ipp"
#include "table_driver.ipp"
#include "table_sma.ipp"
#include "table_ema.ipp"
#include "table_macd.ipp"
#include "table_atr.ipp"

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

void sma(const SmaJob& job, std::size_t first, std::size_t last) noexcept { run_lanes<SmaLanes>(job, first, last); }
void ema(const EmaJob& job, std::size_t first, std::size_t last) noexcept { run_lanes<EmaLanes>(job, first, last); }
void macd(const MacdJob& job, std::size_t first, std::size_t last) noexcept { run_lanes<MacdLanes>(job, first, last); }
void atr(const AtrJob& job, std::size_t first, std::size_t last) noexcept { run_lanes<AtrLanes>(job, first, last); }

}  // namespace

const LaneKernels kernels = {sma, ema, macd, atr};

}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
