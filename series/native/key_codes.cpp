// Symbol codes from hashes of a long table's keys, with the interpreter lock released: polars
// hashes its key column on its own threads, and this turns the hashes into codes in one pass.
#include "key_codes.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <new>
#include <span>

#include "indicators/hash_codes.hpp"
#include "lock_release.hpp"
#include "table_arguments.hpp"

namespace nb = nanobind;

namespace quillora::series {

namespace {

using Hashes = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Codes = nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::size_t hash_codes(Hashes hashes, Codes codes, Codes first_rows) {
    if (codes.shape(0) != hashes.shape(0) || first_rows.shape(0) != hashes.shape(0))
        fail_value("codes and first_rows must have one entry per hash");
    const std::span<const std::uint64_t> in(hashes.data(), hashes.shape(0));
    const std::span<std::int64_t> out(codes.data(), codes.shape(0)), firsts(first_rows.data(), first_rows.shape(0));
    std::size_t count = 0;
    bool done = false;
    run_unlocked([&] {
        try {
            count = indicators::codes_of_hashes(in, out, firsts);
            done = true;
        } catch (const std::bad_alloc&) {
        }
    });
    if (!done) throw std::bad_alloc();
    return count;
}

}  // namespace

void bind_key_codes(nb::module_& module) {
    module.def("hash_codes", &hash_codes, nb::arg("hashes"), nb::arg("codes"), nb::arg("first_rows"),
               "Writes each row's code (by first appearance of its hash) and its code's first row; returns the count.");
}

}  // namespace quillora::series
