// Locating NumPy at run time: its version, its multiarray module and its API capsule.
#include "numpy_api.hpp"

#include <climits>
#include <string>

#include "once_cell.hpp"
#include "readable_form.hpp"

namespace quillora {
namespace {

OnceCell<const char> core_module_name_cell;
OnceCell<const char> multiarray_name_cell;
OnceCell<void*> api_table_cell;
std::atomic<unsigned int> feature_version_cache{0};

Result<Object> import_module(const char* name) noexcept {
    Object name_object = Object::steal(PyUnicode_FromString(name));
    if (!name_object) return fetch_error_or_system_error();
    Object module = Object::steal(PyImport_Import(name_object.get()));
    if (!module) return fetch_error_or_system_error();
    return module;
}

Result<Object> attribute(const Object& object, const char* name) noexcept {
    Object value = Object::steal(PyObject_GetAttrString(object.get(), name));
    if (!value) return fetch_error_or_system_error();
    return value;
}

// NumpyVersion(numpy.__version__).major, as an unsigned 8-bit value.
Result<unsigned char> numpy_major_version() noexcept {
    auto numpy = import_module("numpy");
    if (!numpy.ok()) return numpy.take_error();
    auto version = attribute(numpy.value(), "__version__");
    if (!version.ok()) return version.take_error();
    auto numpy_lib = import_module("numpy.lib");
    if (!numpy_lib.ok()) return numpy_lib.take_error();
    auto version_class = attribute(numpy_lib.value(), "NumpyVersion");
    if (!version_class.ok()) return version_class.take_error();
    Object parsed =
        Object::steal(PyObject_CallFunctionObjArgs(version_class.value().get(), version.value().get(), nullptr));
    if (!parsed) return fetch_error_or_system_error();
    auto major = attribute(parsed, "major");
    if (!major.ok()) return major.take_error();
    const long value = PyLong_AsLong(major.value().get());
    if (value == -1) {
        if (auto error = fetch_error()) return std::move(*error);
    }
    if (value < 0 || value > UCHAR_MAX)
        return PyErr::with_text(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<unsigned char>(value);
}

Result<const char*> core_module_name() noexcept {
    if (const char* name = core_module_name_cell.get()) return name;
    auto major = numpy_major_version();
    if (!major.ok()) return major.take_error();
    return core_module_name_cell.set_or_get(major.value() >= 2 ? "numpy._core" : "numpy.core");
}

}  // namespace

Result<const char*> multiarray_module_name() noexcept {
    if (const char* name = multiarray_name_cell.get()) return name;
    auto core = core_module_name();
    if (!core.ok()) return core.take_error();
    const bool numpy2 = std::string_view(core.value()) == "numpy._core";
    return multiarray_name_cell.set_or_get(numpy2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

Result<ArrayApi> array_api() noexcept {
    if (void** table = api_table_cell.get()) return ArrayApi(table);
    auto module_name = multiarray_module_name();
    if (!module_name.ok()) return module_name.take_error();
    auto multiarray = import_module(module_name.value());
    if (!multiarray.ok()) return multiarray.take_error();
    auto capsule = attribute(multiarray.value(), "_ARRAY_API");
    if (!capsule.ok()) return capsule.take_error();
    if (!PyCapsule_CheckExact(capsule.value().get())) return PyErr::conversion(capsule.value().get(), "PyCapsule");
    // Read with the capsule's own name, whatever it is.
    const char* capsule_name = PyCapsule_GetName(capsule.value().get());
    if (!capsule_name) PyErr_Clear();
    auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.value().get(), capsule_name));
    if (!table) return fetch_error_or_system_error();  // a null table would be dereferenced later
    // The capsule owns the table: keep it for the rest of the process.
    (void)capsule.value().release();
    return ArrayApi(api_table_cell.set_or_get(table));
}

Result<ArrayApi> array_api_or_import_error() noexcept {
    auto api = array_api();
    if (api.ok()) return api;
    // NumPy missing or broken is something the user can mend, so it is an exception, not the
    // end of the process.
    return error_with_readable_cause(PyExc_ImportError, "Failed to access NumPy array API capsule", api.take_error());
}

unsigned int feature_version(const ArrayApi& api) noexcept {
    unsigned int version = feature_version_cache.load(std::memory_order_relaxed);
    if (version == 0) {
        version = api.feature_version();
        feature_version_cache.store(version, std::memory_order_relaxed);
    }
    return version;
}

}  // namespace quillora
