// Worker pool: one slot per thread, a short spin before sleeping so that back-to-back calls on
// small tables do not pay a wake-up each, and a fresh pool in a forked child.
#include "worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace quillora {

namespace {

void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// How long an idle worker, and a caller waiting for its workers, spin before they sleep or yield.
constexpr auto spin_time = std::chrono::microseconds(200);

struct alignas(64) Slot {
    std::atomic<std::uint64_t> posted{0};
    std::atomic<bool> sleeping{false};
    std::mutex mutex;
    std::condition_variable wake;
    PartWork work{};
    std::size_t part = 0;
};

class Pool {
public:
    // Runs the parts; false when another caller holds the pool.
    bool run(std::size_t parts, PartWork work) noexcept {
        std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
        if (!busy.owns_lock()) return false;
        const std::size_t helpers = start_threads(parts - 1);
        pending_.store(helpers, std::memory_order_relaxed);
        for (std::size_t k = 0; k < helpers; ++k) post(slots_[k], work, k + 1);
        work.run(work.context, 0);
        for (std::size_t part = helpers + 1; part < parts; ++part) work.run(work.context, part);
        wait_for_helpers();
        return true;
    }

private:
    static void post(Slot& slot, PartWork work, std::size_t part) noexcept {
        slot.work = work;
        slot.part = part;
        // Sequentially consistent with the worker's `sleeping` store and `posted` load: either the
        // worker sees the new post before it sleeps, or this sees it sleeping and wakes it.
        slot.posted.fetch_add(1);
        if (slot.sleeping.load()) {
            {
                std::lock_guard<std::mutex> lock(slot.mutex);
            }
            slot.wake.notify_one();
        }
    }

    void wait_for_helpers() noexcept {
        const auto spin_until = std::chrono::steady_clock::now() + spin_time;
        for (unsigned round = 0; pending_.load(std::memory_order_acquire) != 0; ++round) {
            if (round % 64 == 0 && std::chrono::steady_clock::now() > spin_until) {
                std::this_thread::yield();
            } else {
                relax();
            }
        }
    }

    // Starts threads up to `wanted` (bounded); returns how many there are.
    std::size_t start_threads(std::size_t wanted) noexcept {
        if (wanted > max_worker_threads) wanted = max_worker_threads;
        while (started_ < wanted) {
            // Workers take no signals: the interpreter expects them on its own threads.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            bool started = true;
            try {
                std::thread(&Pool::serve, this, &slots_[started_]).detach();
            } catch (...) {
                started = false;
            }
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            if (!started) break;
            ++started_;
        }
        return started_ < wanted ? started_ : wanted;
    }

    void serve(Slot* slot) noexcept {
        pthread_setname_np(pthread_self(), "quillora-table");
        std::uint64_t seen = 0;
        for (;;) {
            std::uint64_t posted = slot->posted.load();
            const auto spin_until = std::chrono::steady_clock::now() + spin_time;
            for (unsigned round = 1; posted == seen; ++round) {
                if (round % 64 == 0 && std::chrono::steady_clock::now() > spin_until) break;
                relax();
                posted = slot->posted.load();
            }
            if (posted == seen) {
                std::unique_lock<std::mutex> lock(slot->mutex);
                slot->sleeping.store(true);
                slot->wake.wait(lock, [&] { return (posted = slot->posted.load()) != seen; });
                slot->sleeping.store(false);
            }
            seen = posted;
            slot->work.run(slot->work.context, slot->part);
            pending_.fetch_sub(1, std::memory_order_release);
        }
    }

    std::mutex busy_;
    std::size_t started_ = 0;  // guarded by busy_
    std::atomic<std::size_t> pending_{0};
    Slot slots_[max_worker_threads];
};

// The pool lives until the process ends: its threads never stop, so it is never destroyed. A
// forked child has none of the parent's threads; it drops the parent's pool and starts its own.
std::atomic<Pool*> the_pool{nullptr};

void forget_pool_in_child() noexcept { the_pool.store(nullptr); }

Pool* pool() noexcept {
    Pool* current = the_pool.load(std::memory_order_acquire);
    if (current != nullptr) return current;
    static const bool fork_handler = [] { return pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0; }();
    (void)fork_handler;
    auto fresh = std::unique_ptr<Pool>(new (std::nothrow) Pool);
    if (!fresh) return nullptr;
    if (the_pool.compare_exchange_strong(current, fresh.get())) return fresh.release();
    return current;
}

}  // namespace

void run_parts(std::size_t parts, PartWork work) noexcept {
    if (parts == 0) return;
    if (parts > 1) {
        Pool* workers = pool();
        if (workers != nullptr && workers->run(parts, work)) return;
    }
    for (std::size_t part = 0; part < parts; ++part) work.run(work.context, part);
}

}  // namespace quillora
