// Vector lanes of doubles for one instruction set: GCC vector extensions of W doubles, the masks
// their comparisons give, and the few operations the table kernels use. Every operation acts on
// each lane alone, as the scalar one would; nothing here combines lanes except `any`.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

template <int W>
struct LaneTypes {
    typedef double Values __attribute__((vector_size(W * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(W * sizeof(double))));
};

// W doubles, and the all-ones / all-zeros lanes that comparing two such vectors gives.
template <int W>
using Values = typename LaneTypes<W>::Values;
template <int W>
using Mask = typename LaneTypes<W>::Mask;

constexpr std::int64_t sign_clear_bits = 0x7FFFFFFFFFFFFFFF;
constexpr std::int64_t infinity_bits = 0x7FF0000000000000;
constexpr std::int64_t missing_bits = 0x7FF8000000000000;
constexpr std::int64_t negative_zero_bits = static_cast<std::int64_t>(0x8000000000000000u);

// Copies `x` into every lane bit for bit (an arithmetic broadcast could turn -0.0 into +0.0).
template <int W>
inline Values<W> splat(double x) noexcept {
    Values<W> v;
    for (int lane = 0; lane < W; ++lane) {
        v[lane] = x;
    }
    return v;
}

template <int W>
inline Mask<W> splat_bits(std::int64_t bits) noexcept {
    return Mask<W>{} + bits;
}

template <int W>
inline Values<W> from_bits(Mask<W> bits) noexcept {
    return __builtin_bit_cast(Values<W>, bits);
}

template <int W>
inline Mask<W> to_bits(Values<W> x) noexcept {
    return __builtin_bit_cast(Mask<W>, x);
}

// The missing-value marker in every lane, by its bits.
template <int W>
inline Values<W> missing() noexcept {
    return from_bits<W>(splat_bits<W>(missing_bits));
}

// Unaligned loads and stores: a row of a table starts wherever the caller's array puts it.
template <int W>
inline Values<W> load(const double* from) noexcept {
    Values<W> v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

template <int W>
inline void store(double* to, Values<W> v) noexcept {
    __builtin_memcpy(to, &v, sizeof v);
}

// Whether this instruction set loads and stores the first n lanes of a register alone (without
// touching the memory of the others), so that a lane block can end in a partial register.
#if defined(__AVX2__)
constexpr bool partial_registers = true;
#else
constexpr bool partial_registers = false;
#endif

// The first `count` lanes from memory, zeros in the others; nothing past them is read.
template <int W>
inline Values<W> load_partial(const double* from, std::size_t count) noexcept {
#if defined(__AVX512F__)
    const auto lanes = static_cast<__mmask8>((1u << count) - 1);
    if constexpr (W == 8) return __builtin_bit_cast(Values<W>, _mm512_maskz_loadu_pd(lanes, from));
    if constexpr (W == 4) return __builtin_bit_cast(Values<W>, _mm256_maskz_loadu_pd(lanes, from));
    if constexpr (W == 2) return __builtin_bit_cast(Values<W>, _mm_maskz_loadu_pd(lanes, from));
#elif defined(__AVX2__)
    Mask<W> lanes{};
    for (int lane = 0; lane < W; ++lane) lanes[lane] = static_cast<std::size_t>(lane) < count ? -1 : 0;
    if constexpr (W == 4) return __builtin_bit_cast(Values<W>, _mm256_maskload_pd(from, __builtin_bit_cast(__m256i, lanes)));
    if constexpr (W == 2) return __builtin_bit_cast(Values<W>, _mm_maskload_pd(from, __builtin_bit_cast(__m128i, lanes)));
#endif
    Values<W> v{};
    for (std::size_t lane = 0; lane < count; ++lane) v[lane] = from[lane];
    return v;
}

// Stores the first `count` lanes; nothing past them is written.
template <int W>
inline void store_partial(double* to, std::size_t count, Values<W> v) noexcept {
#if defined(__AVX512F__)
    const auto lanes = static_cast<__mmask8>((1u << count) - 1);
    if constexpr (W == 8) return _mm512_mask_storeu_pd(to, lanes, __builtin_bit_cast(__m512d, v));
    if constexpr (W == 4) return _mm256_mask_storeu_pd(to, lanes, __builtin_bit_cast(__m256d, v));
    if constexpr (W == 2) return _mm_mask_storeu_pd(to, lanes, __builtin_bit_cast(__m128d, v));
#elif defined(__AVX2__)
    Mask<W> lanes{};
    for (int lane = 0; lane < W; ++lane) lanes[lane] = static_cast<std::size_t>(lane) < count ? -1 : 0;
    if constexpr (W == 4) return _mm256_maskstore_pd(to, __builtin_bit_cast(__m256i, lanes), __builtin_bit_cast(__m256d, v));
    if constexpr (W == 2) return _mm_maskstore_pd(to, __builtin_bit_cast(__m128i, lanes), __builtin_bit_cast(__m128d, v));
#endif
    for (std::size_t lane = 0; lane < count; ++lane) to[lane] = v[lane];
}

template <int W>
inline Mask<W> load_bits(const double* from) noexcept {
    Mask<W> v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

template <int W>
inline void store_bits(double* to, Mask<W> v) noexcept {
    __builtin_memcpy(to, &v, sizeof v);
}

template <int W>
inline Mask<W> is_nan(Values<W> x) noexcept {
    return x != x;
}

// Finite: the bits with the sign cleared lie below those of infinity.
template <int W>
inline Mask<W> is_finite(Values<W> x) noexcept {
    return (to_bits<W>(x) & sign_clear_bits) < infinity_bits;
}

// |x| by clearing the sign bit, as the scalar fabs does (a NaN keeps its payload).
template <int W>
inline Values<W> magnitude(Values<W> x) noexcept {
    return from_bits<W>(to_bits<W>(x) & sign_clear_bits);
}

// Whether any lane of a comparison result is set.
template <int W>
inline bool any(Mask<W> m) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) {
        return _mm512_test_epi64_mask(__builtin_bit_cast(__m512i, m), __builtin_bit_cast(__m512i, m)) != 0;
    }
#endif
#if defined(__AVX__)
    if constexpr (W == 4) {
        return _mm256_movemask_pd(__builtin_bit_cast(__m256d, m)) != 0;
    }
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) {
        return _mm_movemask_pd(__builtin_bit_cast(__m128d, m)) != 0;
    }
#endif
    std::int64_t set = 0;
    for (int lane = 0; lane < W; ++lane) {
        set |= m[lane];
    }
    return set != 0;
}

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
