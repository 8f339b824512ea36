// The table arguments of the native entry points: (bars, symbols) float64 arrays in C or Fortran
// order, or lists of float64 columns, checked, and resolved into what the table kernels walk.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table.hpp"

namespace quillora::series {

namespace nb = nanobind;

using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

// The bytes one array of a table spans, [first, end), and the name it goes by in messages.
struct Span {
    std::uintptr_t first, end;
    std::string name;
};

// A table argument after its checks: the arrays it was given (held for the call), where its
// elements lie, and the bytes they span, for the overlap checks.
struct Table {
    std::string name;
    std::vector<AnyArray> arrays;
    bool by_columns = false;
    std::size_t bars = 0;  // unknown for an empty list of columns
    std::size_t symbols = 0;
    const double* rows = nullptr;
    std::size_t row_stride = 0;
    std::vector<const double*> columns;
    std::vector<Span> spans;

    quillora::TableInput input() const {
        if (by_columns) return {.columns = columns.data()};
        return {.rows = rows, .row_stride = row_stride};
    }
    quillora::TableOutput output() const {
        if (by_columns) return {.columns = const_cast<double* const*>(columns.data())};
        return {.rows = const_cast<double*>(rows), .row_stride = row_stride};
    }
};

[[noreturn]] void fail_type(const std::string& message);
[[noreturn]] void fail_value(const std::string& message);

// A table argument named `name` in messages; outputs must be writable.
Table take_table(nb::handle value, const char* name, bool writable);

// An input that shares memory with an output is read from a copy, so every result is as if no
// argument overlapped.
struct InputCopy {
    std::vector<double> values;
    std::vector<const double*> columns;
};

struct Prepared {
    quillora::TableShape shape;
    std::vector<quillora::TableInput> inputs;
    std::vector<quillora::TableOutput> outputs;
    std::vector<InputCopy> copies;
    quillora::TableOptions options;
};

// Checks the tables of one call (one shape, outputs apart from each other) and resolves overlaps;
// the tables themselves stay alive in `inputs` and `outputs` of the caller until the computation is done.
Prepared prepare(const std::vector<Table>& inputs, const std::vector<Table>& outputs, int workers);

}  // namespace quillora::series
