// The borrow registry: extents, the conflict test and the four operations of the protocol.
#include "borrow_registry.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

namespace quillora {
namespace {

// Address arithmetic wraps rather than overflows: strides and dimensions come from arrays that
// other code built (as_strided accepts anything), and a nonsense extent must not be undefined
// behaviour here.
std::uint64_t magnitude(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    return value < 0 ? 0 - bits : bits;
}

std::int64_t offset(std::int64_t address, std::uint64_t bytes) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(address) + bytes);
}

std::uint64_t distance(std::int64_t first, std::int64_t second) noexcept {
    const auto a = static_cast<std::uint64_t>(first), b = static_cast<std::uint64_t>(second);
    return first < second ? b - a : a - b;
}

std::int64_t stride_divisor(std::span<const std::intptr_t> strides) noexcept {
    if (strides.size() == 1) return strides[0];
    std::uint64_t divisor = 0;
    for (std::intptr_t stride : strides) divisor = std::gcd(divisor, magnitude(stride));
    return static_cast<std::int64_t>(divisor);
}

}  // namespace

BorrowExtent extent_of(std::int64_t data, std::span<const std::intptr_t> dimensions,
                       std::span<const std::intptr_t> strides, std::int64_t element_size) noexcept {
    if (dimensions.empty()) return {data, data, data, 1};
    const std::int64_t divisor = stride_divisor(strides);
    if (std::ranges::find(dimensions, 0) != dimensions.end()) return {data, data, data, divisor};
    // Each axis reaches (dimension - 1) * stride bytes from element 0, down or up by its sign.
    std::uint64_t below = 0, above = 0;
    for (std::size_t axis = 0; axis < dimensions.size(); ++axis) {
        const std::uint64_t reach =
            static_cast<std::uint64_t>(dimensions[axis] - 1) * static_cast<std::uint64_t>(strides[axis]);
        (strides[axis] < 0 ? below : above) += reach;
    }
    return {offset(data, below), offset(offset(data, above), static_cast<std::uint64_t>(element_size)), data, divisor};
}

bool extents_conflict(const BorrowExtent& added, const BorrowExtent& registered) noexcept {
    if (registered.start >= added.end || added.start >= registered.end) return false;
    const std::uint64_t step = std::gcd(magnitude(added.divisor), magnitude(registered.divisor));
    // Both arrays have stride 0 throughout, so each reaches only the bytes [data, data + element
    // size), which is its whole extent: overlapping ranges mean shared bytes.
    if (step == 0) return true;
    return distance(added.data, registered.data) % step == 0;
}

int BorrowRegistry::take_shared(std::uintptr_t owner, const BorrowExtent& extent) noexcept {
    std::lock_guard guard(lock_);
    auto [found, new_owner] = owners_.try_emplace(owner);
    Borrows& borrows = found->second;
    if (!new_owner) {
        if (auto same = borrows.find(extent); same != borrows.end()) {
            // Held exclusively, or as many shared borrows as a count can hold.
            if (same->second == exclusive || same->second == std::numeric_limits<std::int64_t>::max())
                return already_borrowed;
            ++same->second;
            return borrow_granted;
        }
        for (const auto& [registered, count] : borrows)
            if (count == exclusive && extents_conflict(extent, registered)) return already_borrowed;
    }
    borrows.emplace(extent, 1);
    return borrow_granted;
}

int BorrowRegistry::take_exclusive(std::uintptr_t owner, const BorrowExtent& extent) noexcept {
    std::lock_guard guard(lock_);
    auto [found, new_owner] = owners_.try_emplace(owner);
    Borrows& borrows = found->second;
    if (!new_owner) {
        // The identical extent is refused on its own: an empty extent conflicts with nothing.
        if (borrows.contains(extent)) return already_borrowed;
        for (const auto& entry : borrows)
            if (extents_conflict(extent, entry.first)) return already_borrowed;
    }
    borrows.emplace(extent, exclusive);
    return borrow_granted;
}

void BorrowRegistry::drop_shared(std::uintptr_t owner, const BorrowExtent& extent) noexcept {
    std::lock_guard guard(lock_);
    auto found = owners_.find(owner);
    if (found == owners_.end()) return;
    Borrows& borrows = found->second;
    auto entry = borrows.find(extent);
    // An exclusive entry is not a shared borrow: lowering it would invent a count.
    if (entry == borrows.end() || entry->second == exclusive) return;
    if (--entry->second > 0) return;
    borrows.erase(entry);
    if (borrows.empty()) owners_.erase(found);
}

void BorrowRegistry::drop_exclusive(std::uintptr_t owner, const BorrowExtent& extent) noexcept {
    std::lock_guard guard(lock_);
    auto found = owners_.find(owner);
    if (found == owners_.end()) return;
    Borrows& borrows = found->second;
    // Only the caller's own exclusive entry goes; the other borrows of the owner stay, even when
    // the caller names an extent it does not hold.
    auto entry = borrows.find(extent);
    if (entry == borrows.end() || entry->second != exclusive) return;
    borrows.erase(entry);
    if (borrows.empty()) owners_.erase(found);
}

}  // namespace quillora
