// Stack traces for fatal reports: glibc's backtrace() captures, dladdr names, the C++ runtime demangles.
#include "stack_trace.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace quillora {
namespace {

constexpr std::size_t report_buffer_size = 512;
constexpr int max_frames = 256;

void write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(2, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

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
    write_to_stderr({number_padding(number), number, ":     0x", NumberText(at, 16), " - ", name,
                     named ? "+0x" : "", named ? std::string_view(symbol_offset) : "", "\n"});
    if (!found || !info.dli_fname) return;
    // Without a name, the offset into the object is what addr2line needs to place the frame.
    const NumberText object_offset(at - reinterpret_cast<std::uintptr_t>(info.dli_fbase), 16);
    write_to_stderr({"                at ", info.dli_fname, named ? "" : "+0x",
                     named ? "" : std::string_view(object_offset), "\n"});
}

}  // namespace

// By hand rather than std::to_chars, whose instantiations g++ would export from the module.
NumberText::NumberText(std::uint64_t value, int base) noexcept {
    const auto radix = static_cast<std::uint64_t>(base);
    first_ = sizeof digits_;
    do {
        digits_[--first_] = "0123456789abcdef"[value % radix];
        value /= radix;
    } while (value != 0);
}

void write_to_stderr(std::initializer_list<std::string_view> pieces) noexcept {
    std::size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    if (total > report_buffer_size) {
        for (std::string_view piece : pieces) write_all(piece.data(), piece.size());
        return;
    }
    char buffer[report_buffer_size];
    char* end = buffer;
    for (std::string_view piece : pieces) end = std::copy(piece.begin(), piece.end(), end);
    write_all(buffer, static_cast<std::size_t>(end - buffer));
}

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
