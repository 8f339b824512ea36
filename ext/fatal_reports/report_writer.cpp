// Writing fatal reports to file descriptor 2.
#include "report_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillora {
namespace {

constexpr std::size_t report_buffer_size = 512;

void write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(2, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
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

}  // namespace quillora
