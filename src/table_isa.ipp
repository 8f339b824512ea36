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

void sma(const SmaJob& job, const SeriesShare& share) noexcept { run_lanes<SmaLanes>(job, share); }
void ema(const EmaJob& job, const SeriesShare& share) noexcept { run_lanes<EmaLanes>(job, share); }
void macd(const MacdJob& job, const SeriesShare& share) noexcept { run_lanes<MacdLanes>(job, share); }
void atr(const AtrJob& job, const SeriesShare& share) noexcept { run_lanes<AtrLanes>(job, share); }

}  // namespace

const LaneKernels kernels = {sma, ema, macd, atr};

}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
