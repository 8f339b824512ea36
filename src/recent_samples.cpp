// The last samples of a series that arrives in chunks.
#include "recent_samples.hpp"

#include <algorithm>

namespace quillora {

void RecentSamples::make_room(std::uint64_t seen_after) {
    const std::size_t wanted = static_cast<std::size_t>(std::min(reach_, seen_after));
    if (wanted <= slots_.size()) {
        return;
    }
    // Geometric growth keeps single-sample updates cheap; the cap keeps the store within reach.
    if (wanted > slots_.capacity()) {
        const std::size_t doubled = std::max(wanted, 2 * slots_.capacity());
        slots_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(reach_, doubled)));
    }
    slots_.resize(wanted);
}

void RecentSamples::record(std::uint64_t first, std::span<const double> chunk) noexcept {
    // Only the last `reach` samples of the chunk can ever be read again.
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(reach_, chunk.size()));
    const std::size_t skipped = chunk.size() - kept;
    std::uint64_t slot = (first + skipped) % reach_;
    for (std::size_t i = skipped; i < chunk.size(); ++i) {
        slots_[static_cast<std::size_t>(slot)] = chunk[i];
        if (++slot == reach_) slot = 0;
    }
}

std::vector<double> RecentSamples::oldest_first(std::uint64_t seen) const {
    const std::uint64_t count = std::min(reach_, seen);
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    Reader reader = read_from(seen - count);
    for (std::uint64_t k = 0; k < count; ++k) {
        samples.push_back(reader.next());
    }
    return samples;
}

std::optional<RecentSamples> RecentSamples::restore(std::uint64_t reach, std::uint64_t seen,
                                                    std::span<const double> oldest_first) {
    if (reach == 0 || oldest_first.size() != std::min(reach, seen)) {
        return std::nullopt;
    }
    RecentSamples samples(reach);
    samples.make_room(seen);
    samples.record(seen - oldest_first.size(), oldest_first);
    return samples;
}

}  // namespace quillora
