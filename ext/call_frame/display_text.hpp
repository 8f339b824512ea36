// The display text of an object, as messages show it: str() of it, made safe to print.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace quillora {

// str(object) as UTF-8. An object whose str() fails is reported as unraisable and shown as
// "<unprintable TYPE object>"; lone surrogates show as U+FFFD.
std::string display_text(PyObject* object) noexcept;

// Decodes UTF-8, replacing every maximal ill-formed subsequence with U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace quillora
