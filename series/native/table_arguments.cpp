// Checks of table arguments: dtype, dimensions, layout, alignment, writability, one shape, overlaps.
#include "table_arguments.hpp"

#include <algorithm>

#include "array_checks.hpp"

namespace quillora::series {

namespace {
using WritableArray = nb::ndarray<double, nb::device::cpu>;
}  // namespace

void fail_type(const std::string& message) { throw nb::type_error(message.c_str()); }

void fail_value(const std::string& message) { throw nb::value_error(message.c_str()); }

// NumPy's C-ordered copy of a float64 input, in fresh (aligned) memory.
nb::object aligned_copy(nb::handle value) {
    return nb::module_::import_("numpy").attr("array")(value, nb::arg("order") = "C");
}

// An array of the call as float64 on the CPU, refused with a message naming `name` otherwise. The
// kernels load whole doubles: an input off the 8-byte grid (address or strides) is read from an
// aligned copy, an output there is refused.
AnyArray take_array(nb::handle value, const std::string& name, bool writable, std::size_t ndim) {
    AnyArray array;
    bool cast = nb::try_cast(value, array, false);
    if ((!cast || !is_aligned(array.data())) && is_float64_array(value)) {
        if (writable) fail_value(name + " must be aligned: its address and strides must be multiples of 8 bytes");
        cast = nb::try_cast(aligned_copy(value), array, false);
    }
    if (!cast) {
        fail_type(name + " must be a float64 array" + (ndim == 2 ? " or a list of float64 columns" : "") + ", got " +
                  describe(value));
    }
    if (array.dtype() != nb::dtype<double>()) fail_type(name + " must have dtype float64, got " + describe(value));
    if (array.ndim() != ndim) {
        fail_value(name + " must be " + std::to_string(ndim) + "-D" + (ndim == 2 ? " (bars, symbols)" : "") + ", got " +
                   std::to_string(array.ndim()) + "-D");
    }
    if (writable) {
        WritableArray check;
        if (!nb::try_cast(value, check, false)) fail_value(name + " is read-only");
    }
    return array;
}

std::uintptr_t address_of(const AnyArray& array) { return reinterpret_cast<std::uintptr_t>(array.data()); }

Table take_table(nb::handle value, const char* name, bool writable) {
    Table table;
    table.name = name;
    if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value)) {
        table.by_columns = true;
        std::size_t index = 0;
        for (nb::handle item : value) {
            const std::string item_name = table.name + "[" + std::to_string(index) + "]";
            AnyArray column = take_array(item, item_name, writable, 1);
            const std::size_t bars = column.shape(0);
            if (index == 0) {
                table.bars = bars;
            } else if (bars != table.bars) {
                fail_value(item_name + " has " + std::to_string(bars) + " bars, " + table.name + "[0] has " +
                           std::to_string(table.bars));
            }
            if (bars > 1 && column.stride(0) != 1) fail_value(item_name + " must be contiguous");
            table.columns.push_back(static_cast<const double*>(column.data()));
            if (bars > 0)
                table.spans.push_back({address_of(column), address_of(column) + bars * sizeof(double), item_name});
            table.arrays.push_back(std::move(column));
            ++index;
        }
        table.symbols = index;
        return table;
    }
    AnyArray array = take_array(value, table.name, writable, 2);
    table.bars = array.shape(0);
    table.symbols = array.shape(1);
    const bool empty = table.bars == 0 || table.symbols == 0;
    // Runs of consecutive doubles, one after another without overlapping: rows (C order, or a slice
    // of whole columns of a C-ordered table), else columns (Fortran order, as pandas keeps a table).
    auto runs = [](std::size_t count, std::int64_t step, std::size_t length, std::int64_t within) {
        return (length < 2 || within == 1) && (count < 2 || (step >= 0 && static_cast<std::size_t>(step) >= length));
    };
    const std::int64_t row_stride = array.stride(0), column_stride = array.stride(1);
    const auto* first = static_cast<const double*>(array.data());
    std::size_t last = 0;  // one past the last element, counted from the first
    if (empty || runs(table.bars, row_stride, table.symbols, column_stride)) {
        table.rows = first;
        table.row_stride = table.bars > 1 ? static_cast<std::size_t>(row_stride) : table.symbols;
        if (!empty) last = (table.bars - 1) * table.row_stride + table.symbols;
    } else if (runs(table.symbols, column_stride, table.bars, row_stride)) {
        table.by_columns = true;
        for (std::size_t s = 0; s < table.symbols; ++s) table.columns.push_back(first + s * column_stride);
        last = (table.symbols - 1) * static_cast<std::size_t>(column_stride) + table.bars;
    } else {
        fail_value(table.name + " must have contiguous rows (C order) or columns (Fortran order), got strides (" +
                   std::to_string(row_stride * 8) + ", " + std::to_string(column_stride * 8) + ") bytes");
    }
    if (!empty) table.spans.push_back({address_of(array), address_of(array) + last * sizeof(double), table.name});
    table.arrays.push_back(std::move(array));
    return table;
}

// The shape all tables of a call share, taken from the first one that knows its length.
quillora::TableShape common_shape(const std::vector<const Table*>& tables) {
    const Table& first = *tables.front();
    quillora::TableShape shape{0, first.symbols};
    const Table* known = nullptr;
    for (const Table* table : tables) {
        if (table->symbols != shape.series) {
            fail_value(table->name + " has " + std::to_string(table->symbols) + " symbols, " + first.name + " has " +
                       std::to_string(shape.series));
        }
        if (table->by_columns && table->symbols == 0) continue;
        if (known == nullptr) {
            known = table;
            shape.bars = table->bars;
        } else if (table->bars != shape.bars) {
            fail_value(table->name + " has " + std::to_string(table->bars) + " bars, " + known->name + " has " +
                       std::to_string(shape.bars));
        }
    }
    return shape;
}

quillora::TableInput separate(const Table& input, quillora::TableShape shape, InputCopy& copy) {
    copy.values.resize(shape.bars * shape.series);
    if (input.by_columns) {
        for (std::size_t s = 0; s < shape.series; ++s) {
            double* column = copy.values.data() + s * shape.bars;
            for (std::size_t bar = 0; bar < shape.bars; ++bar) column[bar] = input.columns[s][bar];
            copy.columns.push_back(column);
        }
        return {.columns = copy.columns.data()};
    }
    for (std::size_t bar = 0; bar < shape.bars; ++bar) {
        for (std::size_t s = 0; s < shape.series; ++s) {
            copy.values[bar * shape.series + s] = input.rows[bar * input.row_stride + s];
        }
    }
    return {.rows = copy.values.data(), .row_stride = shape.series};
}

// Checks the tables of one call and resolves overlaps; the tables themselves stay alive in
// `inputs` and `outputs` of the caller until the computation is done.
Prepared prepare(const std::vector<Table>& inputs, const std::vector<Table>& outputs, int workers) {
    if (workers < 1) fail_value("workers must be at least 1, got " + std::to_string(workers));
    std::vector<const Table*> all;
    for (const Table& table : inputs) all.push_back(&table);
    for (const Table& table : outputs) all.push_back(&table);
    Prepared prepared;
    prepared.shape = common_shape(all);
    // No two outputs may share memory (a list that holds one array twice included): the
    // results would depend on which lane wrote last.
    std::vector<Span> written;
    for (const Table& output : outputs) written.insert(written.end(), output.spans.begin(), output.spans.end());
    std::sort(written.begin(), written.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    for (std::size_t k = 1; k < written.size(); ++k) {
        if (written[k].first < written[k - 1].end)
            fail_value(written[k - 1].name + " and " + written[k].name + " overlap");
    }
    // Sorted and disjoint, the written spans end in order too: the first that ends past an
    // input span's start is the only one that can overlap it.
    auto shares_memory = [&](const Table& input) {
        for (const Span& span : input.spans) {
            const auto next = std::lower_bound(written.begin(), written.end(), span.first,
                                               [](const Span& w, std::uintptr_t first) { return w.end <= first; });
            if (next != written.end() && next->first < span.end) return true;
        }
        return false;
    };
    prepared.copies.resize(inputs.size());
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        prepared.inputs.push_back(shares_memory(inputs[k]) ? separate(inputs[k], prepared.shape, prepared.copies[k])
                                                           : inputs[k].input());
    }
    for (const Table& output : outputs) prepared.outputs.push_back(output.output());
    prepared.options.workers = static_cast<unsigned>(workers);
    return prepared;
}

}  // namespace quillora::series
