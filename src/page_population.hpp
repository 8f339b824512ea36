// Backing fresh memory with pages ahead of the thread that will write it.
#pragma once

#include <cstddef>

namespace quillora {

// Asks the operating system to back [begin, begin + bytes) with writable pages now, leaving their
// contents as they are. A new array's pages are otherwise zeroed one fault at a time by the thread
// that first writes them; another thread can take that work while the writer computes. Does
// nothing where the system offers no such request (before Linux 5.14, or elsewhere).
void populate_for_writing(void* begin, std::size_t bytes) noexcept;

}  // namespace quillora
