// Module initialisation: the exported PyInit_quillora, built once per process and refused to
// every interpreter but the first.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "entry_points.hpp"
#include "interned.hpp"
#include "interpreter_failure.hpp"
#include "once_cell.hpp"
#include "py_err.hpp"

namespace quillora {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quillora", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr int module_api_version = 1013;

struct FunctionRow {
    const char* name;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const char* doc;  // only the text-signature block
};

constexpr FunctionRow function_table[] = {
    {"indicator_sma", indicator_sma, "indicator_sma(period, data, output)\n--\n\n"},
    {"indicator_ema", indicator_ema, "indicator_ema(period, data, output)\n--\n\n"},
    {"indicator_macd", indicator_macd,
     "indicator_macd(fast_period, slow_period, signal_period, data, macd_output, signal_output, "
     "hist_output)\n--\n\n"},
    {"indicator_atr", indicator_atr, "indicator_atr(period, high, low, close, output)\n--\n\n"},
};

std::atomic<std::int64_t> recorded_interpreter{-1};
ObjectCell module_cell;

Result<Object> create_function(const FunctionRow& row, PyObject* module) noexcept {
    Object module_name = Object::steal(PyModule_GetNameObject(module));
    if (!module_name) return fetch_error_or_system_error();
    // The function object refers to its record for its whole life, so the record is never freed.
    auto* record = new PyMethodDef{row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row.entry)),
                                   METH_FASTCALL | METH_KEYWORDS, row.doc};
    Object function = Object::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) return fetch_error_or_system_error();
    return function;
}

// The module's "__all__" list, created empty when the module has none yet.
Result<Object> all_list(PyObject* module) noexcept {
    Object all = Object::steal(PyObject_GetAttr(module, interned_dunder_all()));
    if (!all) {
        PyErr error = fetch_error_or_system_error();
        if (!PyErr_GivenExceptionMatches(error.exception(), PyExc_AttributeError)) return error;
        all = Object::steal(PyList_New(0));
        if (!all) abort_after_interpreter_failure();
        if (PyObject_SetAttr(module, interned_dunder_all(), all.get()) != 0) return fetch_error_or_system_error();
        return all;
    }
    if (!PyList_Check(all.get())) return PyErr::conversion(all.get(), "PyList");
    return all;
}

Status add_function(PyObject* module, Object function) noexcept {
    Object name = Object::steal(PyObject_GetAttr(function.get(), interned_dunder_name()));
    if (!name) return fetch_error_or_system_error();
    if (!PyUnicode_Check(name.get())) return PyErr::conversion(name.get(), "PyString");
    auto all = all_list(module);
    if (!all.ok()) return all.take_error();
    if (PyList_Append(all.value().get(), name.get()) != 0)
        abort_with_error("could not append __name__ to __all__", fetch_error_or_system_error());
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return fetch_error_or_system_error();
    return Status::success();
}

Result<Object> build_module() noexcept {
    Object module = Object::steal(PyModule_Create2(&module_definition, module_api_version));
    if (!module) return fetch_error_or_system_error();
    for (const FunctionRow& row : function_table) {
        auto function = create_function(row, module.get());
        if (!function.ok()) return function.take_error();
        if (Status added = add_function(module.get(), std::move(function.value())); !added.ok())
            return added.take_error();
    }
    return module;
}

PyObject* initialise() noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        raise_to_interpreter(fetch_error_or_system_error());
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        raise_to_interpreter(PyErr::with_text(
            PyExc_ImportError,
            "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576"));
        return nullptr;
    }
    if (PyObject* module = module_cell.get()) return Py_NewRef(module);
    auto built = build_module();
    if (!built.ok()) {
        raise_to_interpreter(built.take_error());
        return nullptr;
    }
    return Py_NewRef(module_cell.set_or_get(std::move(built.value())));
}

}  // namespace
}  // namespace quillora

PyMODINIT_FUNC PyInit_quillora(void) { return quillora::initialise(); }
