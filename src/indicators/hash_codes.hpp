// Symbol codes of a long table's rows from 64-bit hashes of their keys: each distinct hash gets the
// next code at its first row, so codes follow first appearance. Equal hashes get one code; whether
// they came from equal keys is the caller's to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillora::indicators {

// Writes each row's code to `codes` and the first row of that code to `first_rows` (both as long
// as `hashes`), so a caller can compare every key with its code's first; returns the number of
// distinct hashes.
// Open addressing in a table kept at most half full: a long table has few symbols and many rows,
// so the table stays in cache and a row costs a probe or two.
inline std::size_t codes_of_hashes(std::span<const std::uint64_t> hashes, std::span<std::int64_t> codes,
                                   std::span<std::int64_t> first_rows) {
    std::size_t capacity = 1024;
    std::vector<std::uint64_t> slot_hash(capacity);
    std::vector<std::int64_t> slot_code(capacity, -1), slot_row(capacity);
    std::size_t count = 0;
    // The keys' hashes need not spread in their low bits: a multiply by an odd constant and its
    // high bits do.
    auto home = [](std::uint64_t hash, std::size_t mask) noexcept {
        return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    };
    auto grow = [&] {
        const std::size_t wider = capacity * 2;
        std::vector<std::uint64_t> new_hash(wider);
        std::vector<std::int64_t> new_code(wider, -1), new_row(wider);
        for (std::size_t s = 0; s < capacity; ++s) {
            if (slot_code[s] < 0) continue;
            std::size_t at = home(slot_hash[s], wider - 1);
            while (new_code[at] >= 0) at = (at + 1) & (wider - 1);
            new_hash[at] = slot_hash[s];
            new_code[at] = slot_code[s];
            new_row[at] = slot_row[s];
        }
        slot_hash.swap(new_hash);
        slot_code.swap(new_code);
        slot_row.swap(new_row);
        capacity = wider;
    };
    for (std::size_t row = 0; row < hashes.size(); ++row) {
        const std::uint64_t hash = hashes[row];
        std::size_t at = home(hash, capacity - 1);
        while (slot_code[at] >= 0 && slot_hash[at] != hash) at = (at + 1) & (capacity - 1);
        if (slot_code[at] < 0) {
            if (2 * (count + 1) > capacity) {
                grow();
                at = home(hash, capacity - 1);
                while (slot_code[at] >= 0) at = (at + 1) & (capacity - 1);
            }
            slot_hash[at] = hash;
            slot_code[at] = static_cast<std::int64_t>(count++);
            slot_row[at] = static_cast<std::int64_t>(row);
        }
        codes[row] = slot_code[at];
        first_rows[row] = slot_row[at];
    }
    return count;
}

}  // namespace quillora::indicators
