// The last samples of a series that arrives in chunks, kept for windows that reach back across a
// chunk boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillora {

// Holds the last `reach` samples: sample number a sits at slot a % reach. The store grows with the
// samples seen and never beyond `reach`, so a huge reach costs nothing up front.
class RecentSamples {
public:
    explicit RecentSamples(std::uint64_t reach) noexcept : reach_(reach) {}

    std::uint64_t reach() const noexcept { return reach_; }

    // Makes room for the samples before number `seen_after`. May throw std::bad_alloc, and then
    // nothing has changed; everything after it cannot fail.
    void make_room(std::uint64_t seen_after);

    // Sample number a, one of the last `reach` before the samples recorded next.
    double at(std::uint64_t a) const noexcept { return slots_[static_cast<std::size_t>(a % reach_)]; }

    // Reads kept samples forward from number a, one slot after another.
    class Reader {
    public:
        double next() noexcept {
            const double value = slots_[slot_];
            if (++slot_ == reach_) slot_ = 0;
            return value;
        }

    private:
        friend class RecentSamples;
        Reader(const double* slots, std::uint64_t reach, std::uint64_t slot) noexcept
            : slots_(slots), reach_(reach), slot_(slot) {}
        const double* slots_;
        std::uint64_t reach_;
        std::uint64_t slot_;
    };
    Reader read_from(std::uint64_t a) const noexcept { return Reader(slots_.data(), reach_, a % reach_); }

    // Records `chunk`, whose first sample is number `first`, after make_room(first + chunk.size()).
    void record(std::uint64_t first, std::span<const double> chunk) noexcept;

    // The kept samples, oldest first, when `seen` samples have been recorded.
    std::vector<double> oldest_first(std::uint64_t seen) const;

    // The store after `seen` samples whose last ones are `oldest_first`; nothing when their count
    // is not min(seen, reach).
    static std::optional<RecentSamples> restore(std::uint64_t reach, std::uint64_t seen,
                                                std::span<const double> oldest_first);

private:
    std::uint64_t reach_;
    std::vector<double> slots_;
};

}  // namespace quillora
