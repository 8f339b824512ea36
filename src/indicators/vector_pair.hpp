// Two bars in one vector register, for batch loops whose per-value arithmetic does not vectorize by
// itself (a divide ahead of a select). GCC's vector arithmetic rounds every lane as the scalar
// operation does, so a lane gives the bits of the scalar code.
#pragma once

#include <cstdint>
#include <cstring>

namespace quillora::indicators::vector_pair {

using Pair = double __attribute__((vector_size(16)));
using PairMask = std::int64_t __attribute__((vector_size(16)));

inline Pair load(const double* p) noexcept {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, Pair v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace quillora::indicators::vector_pair
