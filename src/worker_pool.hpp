// Worker threads for the table kernels: started on first use, kept for the life of the process,
// running the parts of one job at a time beside the calling thread.
#pragma once

#include <cstddef>

namespace quillora {

struct PartWork {
    void (*run)(const void* context, std::size_t part) noexcept;
    const void* context;
};

// Threads the pool starts at most; a job has at most one part more than that.
inline constexpr std::size_t max_worker_threads = 63;

// Runs work.run(work.context, part) for every part in [0, parts) and returns when all are done:
// part 0 on the calling thread, part k on worker thread k - 1, so the same part always runs on the
// same thread. While another caller's job holds the workers, or where threads cannot be started,
// the calling thread runs the parts left over itself.
void run_parts(std::size_t parts, PartWork work) noexcept;

}  // namespace quillora
