// Stack traces for fatal reports: glibc's backtrace() captures, dladdr names, the C++ runtime demangles.
#include "stack_trace.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cstdlib>

#include "report_writer.hpp"

namespace quillora {
namespace {

constexpr int max_frames = 256;

// A demangled name, or the symbol as it stands when it is not a C++ name. Only "_Z" names go
// to the demangler, which would otherwise read a C name such as "f" as a type ("float").
class FunctionName {
public:
    explicit FunctionName(const char* symbol) noexcept : text_(symbol) {
        if (std::string_view(symbol).starts_with("_Z")) {
            int status = 0;
            demangled_ = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
            if (demangled_) text_ = demangled_;
        }
    }
    ~FunctionName() { std::free(demangled_); }
    FunctionName(const FunctionName&) = delete;
    FunctionName& operator=(const FunctionName&) = delete;

    operator std::string_view() const noexcept { return text_; }

private:
    const char* text_;
    char* demangled_ = nullptr;
};

// Frame numbers are right-aligned in four columns.
std::string_view number_padding(const NumberText& number) noexcept {
    constexpr std::string_view spaces = "    ";
    return spaces.substr(std::min(std::string_view(number).size(), spaces.size()));
}

void write_frame(int index, const void* address, TraceStyle style) noexcept {
    // A return address points just past its call, which may be the first byte of the next
    // function when the call was the last instruction (a call to a routine that never returns).
    Dl_info info{};
    const bool found = ::dladdr(static_cast<const char*>(address) - 1, &info) != 0;
    const bool named = found && info.dli_sname && info.dli_saddr;
    const FunctionName name(named ? info.dli_sname : "<unknown>");
    const NumberText number(static_cast<std::uint64_t>(index));

    if (style == TraceStyle::brief) {
        write_to_stderr({number_padding(number), number, ": ", name, "\n"});
        return;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const NumberText symbol_offset(named ? at - reinterpret_cast<std::uintptr_t>(info.dli_saddr) : 0, 16);
    write_to_stderr({number_padding(number), number, ":     0x", NumberText(at, 16), " - ", name, named ? "+0x" : "",
                     named ? std::string_view(symbol_offset) : "", "\n"});
    if (!found || !info.dli_fname) return;
    // Without a name, the offset into the object is what addr2line needs to place the frame.
    const NumberText object_offset(at - reinterpret_cast<std::uintptr_t>(info.dli_fbase), 16);
    write_to_stderr({"                at ", info.dli_fname, named ? "" : "+0x",
                     named ? "" : std::string_view(object_offset), "\n"});
}

}  // namespace

void write_stack_trace(TraceStyle style, const void* first_shown) noexcept {
    void* frames[max_frames];
    const int count = ::backtrace(frames, max_frames);
    int first = 0;
    if (style == TraceStyle::brief) {
        const auto caller = std::find(frames, frames + count, first_shown);
        if (caller != frames + count) first = static_cast<int>(caller - frames);
    }
    write_to_stderr({"stack backtrace:\n"});
    for (int i = first; i < count; ++i) write_frame(i - first, frames[i], style);
}

}  // namespace quillora
