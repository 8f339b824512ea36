// The borrow registry: which memory of which owner is borrowed, shared or exclusive, by every
// cooperating module of the process.
//
// Plain C++: the callers reduce an array to its owner's address and its extent before they come
// here, so nothing in this file knows of Python or NumPy. The behaviour of the four operations
// is shared with other modules that find this registry through the capsule, so it is fixed to
// the protocol's rules, return codes included.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <unordered_map>

namespace quillora {

// What one borrow covers within its owner's memory, as signed byte addresses. Two extents are
// the same borrow key only when all four fields are equal.
struct BorrowExtent {
    std::int64_t start;    // the lowest byte the array can reach
    std::int64_t end;      // one past the highest (half-open)
    std::int64_t data;     // the address of element 0
    std::int64_t divisor;  // one axis: its stride, sign kept; more: gcd of the strides' magnitudes; none: 1

    auto operator<=>(const BorrowExtent&) const = default;
};

// The extent of an array from its data address, its dimensions, its byte strides (one per
// dimension) and its element size.
BorrowExtent extent_of(std::int64_t data, std::span<const std::intptr_t> dimensions,
                       std::span<const std::intptr_t> strides, std::int64_t element_size) noexcept;

// Whether a new extent may share memory with a registered one. A conflict is not proof of a
// shared byte, but two extents that share one always conflict.
bool extents_conflict(const BorrowExtent& added, const BorrowExtent& registered) noexcept;

// The protocol's return codes of the two take operations.
inline constexpr int borrow_granted = 0;
inline constexpr int already_borrowed = -1;
inline constexpr int not_writeable = -2;

// Every operation holds the one lock for its whole length and runs no foreign code under it.
class BorrowRegistry {
public:
    int take_shared(std::uintptr_t owner, const BorrowExtent& extent) noexcept;
    int take_exclusive(std::uintptr_t owner, const BorrowExtent& extent) noexcept;
    // Releasing a borrow that is not registered breaks the callers' contract; it changes nothing.
    void drop_shared(std::uintptr_t owner, const BorrowExtent& extent) noexcept;
    void drop_exclusive(std::uintptr_t owner, const BorrowExtent& extent) noexcept;

private:
    // A count above 0 is that many shared borrows of exactly the extent; `exclusive` is the one
    // exclusive borrow. No entry holds 0 and no owner is kept without entries.
    static constexpr std::int64_t exclusive = -1;
    using Borrows = std::map<BorrowExtent, std::int64_t>;

    std::mutex lock_;
    std::unordered_map<std::uintptr_t, Borrows> owners_;
};

}  // namespace quillora
