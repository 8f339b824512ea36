// Display text of objects for binding and argument messages.
#include "display_text.hpp"

#include "interpreter_failure.hpp"
#include "object.hpp"
#include "py_err.hpp"

namespace quillora {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

std::string unprintable_text(PyObject* object) noexcept {
    raise_to_interpreter(fetch_error_or_system_error());
    PyErr_WriteUnraisable(object);
    Object name = Object::steal(PyType_GetName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!text) {
        discard_pending_error();
        return "<unprintable object>";
    }
    return "<unprintable " + std::string(text, static_cast<std::size_t>(size)) + " object>";
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // Continuation count and the allowed range of the first continuation byte; the ranges
        // exclude overlong forms, surrogates and code points above U+10FFFF.
        int continuations = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) continuations = 1;
        else if (lead == 0xE0) continuations = 2, low = 0xA0;
        else if (lead == 0xED) continuations = 2, high = 0x9F;
        else if (lead >= 0xE1 && lead <= 0xEF) continuations = 2;
        else if (lead == 0xF0) continuations = 3, low = 0x90;
        else if (lead >= 0xF1 && lead <= 0xF3) continuations = 3;
        else if (lead == 0xF4) continuations = 3, high = 0x8F;
        std::size_t end = i + 1;
        bool complete = continuations > 0;
        for (int k = 0; k < continuations; ++k, ++end) {
            if (end >= bytes.size()) {
                complete = false;
                break;
            }
            const auto byte = static_cast<unsigned char>(bytes[end]);
            if (byte < low || byte > high) {
                complete = false;
                break;
            }
            low = 0x80, high = 0xBF;
        }
        if (complete) out.append(bytes.substr(i, end - i));
        else out.append(replacement_character);
        i = end;  // a byte that broke the sequence starts the next one
    }
    return out;
}

std::string display_text(PyObject* object) noexcept {
    Object text = Object::steal(PyObject_Str(object));
    if (!text) return unprintable_text(object);
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    // Lone surrogates have no UTF-8 form: encode them anyway and let the decoder mark them.
    discard_pending_error();
    Object bytes = Object::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) abort_after_interpreter_failure();
    const char* data = PyBytes_AsString(bytes.get());
    if (!data) abort_after_interpreter_failure();
    return decode_utf8_lossy(std::string_view(data, static_cast<std::size_t>(PyBytes_Size(bytes.get()))));
}

}  // namespace quillora
