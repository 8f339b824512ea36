// Writing fatal reports to file descriptor 2: whole texts in one write, numbers without allocating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quillora {

// Writes the pieces to file descriptor 2 as one text: composed in a 512-byte buffer and written
// with a single write when it fits, so no other writer of the descriptor (another process, the
// interpreter) can split it; a longer text is written piece by piece. Write errors are ignored.
void write_to_stderr(std::initializer_list<std::string_view> pieces) noexcept;

// The text of an unsigned number in base 10 or 16, held by value so it can sit in a list of
// pieces.
class NumberText {
public:
    explicit NumberText(std::uint64_t value, int base = 10) noexcept;
    operator std::string_view() const noexcept { return {digits_ + first_, sizeof digits_ - first_}; }

private:
    char digits_[20];  // right-aligned
    std::size_t first_;
};

}  // namespace quillora
