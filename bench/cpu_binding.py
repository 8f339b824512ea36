"""Binding benchmark threads to CPUs, so that two threads really run on two CPUs at once.

On a small shared machine unbound threads are often not run in parallel, which makes every library
look as if it did not scale. Linux takes a thread id where sched_setaffinity takes a process id.
"""

import os

# The name the table kernels give their worker threads.
POOL_THREAD_NAME = "quillora-table"


def two_cpus():
    """The first two CPUs this process may run on, or None when it may use only one."""
    cpus = sorted(os.sched_getaffinity(0))
    return tuple(cpus[:2]) if len(cpus) >= 2 else None


def bind_threads(cpus, name=None):
    """Binds every thread of this process (or only those called `name`) to the set `cpus`; returns how
    many it bound."""
    bound = 0
    for task in os.listdir("/proc/self/task"):
        try:
            if name is not None:
                with open(f"/proc/self/task/{task}/comm") as comm:
                    if comm.read().strip() != name:
                        continue
            os.sched_setaffinity(int(task), cpus)
            bound += 1
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return bound


def bind_calling_thread(cpu):
    os.sched_setaffinity(0, {cpu})


def bind_quillora_threads(first, second):
    """The calling thread on `first`, the table kernels' worker thread on `second`; False when the pool
    has no thread yet (a call with workers=2 on a table large enough to split starts it)."""
    bind_calling_thread(first)
    return bind_threads({second}, POOL_THREAD_NAME) > 0
