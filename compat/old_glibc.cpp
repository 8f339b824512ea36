// Binds the extension modules' calls into glibc to versions that old glibc releases have, so a wheel
// built on this machine loads where its manylinux tag promises.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#define HIDDEN __attribute__((visibility("hidden")))

// glibc 2.34 moved libpthread and libdl into libc and gave their functions new versions there; the
// versions of 2.2.5 remain, as aliases of the same code. The linker sends every call of a function
// named below to __wrap_<name> (compat/CMakeLists.txt reads the names from this file), which calls
// <name> at version 2.2.5. Older glibc keeps these in libpthread.so.0 and libdl.so.2, which the
// modules name as dependencies so that they are loaded there.
#define FIRST_VERSION_SINCE(version, result, name, parameters, arguments) \
    __asm__(".symver first_" #name ", " #name "@" version);               \
    extern "C" decltype(name) first_##name;                               \
    extern "C" HIDDEN result __wrap_##name parameters { return first_##name arguments; }
#define FIRST_VERSION(result, name, parameters, arguments) \
    FIRST_VERSION_SINCE("GLIBC_2.2.5", result, name, parameters, arguments)

FIRST_VERSION(int, pthread_create,
              (pthread_t * thread, const pthread_attr_t* attributes, void* (*run)(void*), void* argument),
              (thread, attributes, run, argument))
FIRST_VERSION(int, pthread_join, (pthread_t thread, void** result), (thread, result))
FIRST_VERSION(int, pthread_detach, (pthread_t thread), (thread))
FIRST_VERSION(int, pthread_once, (pthread_once_t * once, void (*run)()), (once, run))
FIRST_VERSION(int, pthread_key_create, (pthread_key_t * key, void (*destroy)(void*)), (key, destroy))
FIRST_VERSION(int, pthread_key_delete, (pthread_key_t key), (key))
FIRST_VERSION(void*, pthread_getspecific, (pthread_key_t key), (key))
FIRST_VERSION(int, pthread_setspecific, (pthread_key_t key, const void* value), (key, value))
FIRST_VERSION(int, pthread_rwlock_init, (pthread_rwlock_t * lock, const pthread_rwlockattr_t* attributes),
              (lock, attributes))
FIRST_VERSION(int, pthread_rwlock_destroy, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, pthread_rwlock_rdlock, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, pthread_rwlock_wrlock, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, pthread_rwlock_unlock, (pthread_rwlock_t * lock), (lock))
FIRST_VERSION(int, dladdr, (const void* address, Dl_info* info), (address, info))
FIRST_VERSION(int, pthread_mutex_trylock, (pthread_mutex_t * mutex), (mutex))
FIRST_VERSION(int, pthread_sigmask, (int how, const sigset_t* set, sigset_t* previous), (how, set, previous))
FIRST_VERSION_SINCE("GLIBC_2.12", int, pthread_setname_np, (pthread_t thread, const char* name), (thread, name))

extern "C" {

// std::condition_variable waits on the steady clock through this function of glibc 2.30. Before it,
// libstdc++ moved such a deadline onto the realtime clock, as this does: a step of the wall clock
// during the wait lengthens or shortens it, which a caller of a timed wait must tolerate anyway.
HIDDEN int __wrap_pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                         const timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(condition, mutex, deadline);
    constexpr long nanoseconds_per_second = 1'000'000'000;
    timespec now{}, wall{};
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &wall);
    timespec wall_deadline{wall.tv_sec + (deadline->tv_sec - now.tv_sec),
                           wall.tv_nsec + (deadline->tv_nsec - now.tv_nsec)};
    if (wall_deadline.tv_nsec < 0) {
        wall_deadline.tv_nsec += nanoseconds_per_second;
        --wall_deadline.tv_sec;
    } else if (wall_deadline.tv_nsec >= nanoseconds_per_second) {
        wall_deadline.tv_nsec -= nanoseconds_per_second;
        ++wall_deadline.tv_sec;
    }
    return pthread_cond_timedwait(condition, mutex, &wall_deadline);
}

// libstdc++ skips atomic reference counting while glibc's flag (2.32) says the process has one
// thread. The modules' own copy always says threads may exist: always correct, barely slower.
HIDDEN char __libc_single_threaded = 0;
}
