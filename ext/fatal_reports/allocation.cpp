// The operator new and delete of the binary this is linked into: malloc-backed, never throwing.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "fatal_report.hpp"

// g++ gives the replaceable allocation functions default visibility whatever -fvisibility says,
// so these definitions would be exported and, in the extension module, would replace operator new
// for the interpreter and every library of the process. The assembler marks them hidden instead:
// the module's own calls still bind to them, nothing outside sees them. A misspelt name is a link
// error ("hidden symbol ... isn't defined"). The names are those of the LP64 targets.
asm(".hidden _Znwm\n"
    ".hidden _Znam\n"
    ".hidden _ZnwmRKSt9nothrow_t\n"
    ".hidden _ZnamRKSt9nothrow_t\n"
    ".hidden _ZnwmSt11align_val_t\n"
    ".hidden _ZnamSt11align_val_t\n"
    ".hidden _ZnwmSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZnamSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZdlPv\n"
    ".hidden _ZdaPv\n"
    ".hidden _ZdlPvm\n"
    ".hidden _ZdaPvm\n"
    ".hidden _ZdlPvRKSt9nothrow_t\n"
    ".hidden _ZdaPvRKSt9nothrow_t\n"
    ".hidden _ZdlPvSt11align_val_t\n"
    ".hidden _ZdaPvSt11align_val_t\n"
    ".hidden _ZdlPvmSt11align_val_t\n"
    ".hidden _ZdaPvmSt11align_val_t\n"
    ".hidden _ZdlPvSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZdaPvSt11align_val_tRKSt9nothrow_t\n");

namespace {

// Every block comes from malloc or aligned_alloc, as the C++ runtime's own do, so a block may be
// allocated on one side and freed on the other (the standard library's extern templates allocate
// inside libstdc++ and may free here, inlined).
void* allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }

void* allocate(std::size_t size, std::align_val_t alignment) noexcept {
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a whole number of alignments.
    if (size > SIZE_MAX - (align - 1)) return nullptr;
    const std::size_t rounded = size == 0 ? align : (size + align - 1) / align * align;
    return std::aligned_alloc(align, rounded);
}

void* or_end(void* block, std::size_t size) noexcept {
    if (!block) quillora::allocation_failed(size);
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return or_end(allocate(size), size); }
void* operator new[](std::size_t size) { return or_end(allocate(size), size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return or_end(allocate(size, alignment), size); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return or_end(allocate(size, alignment), size); }

// A caller that asks for nothrow handles the null itself (the standard library's temporary
// buffers fall back to a slower path), so these report nothing.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
