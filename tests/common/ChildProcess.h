// What every child a test or benchmark forks does first: it is killed when
// the thread that forked it ends, however that ends (a destructor that never
// runs under SIGKILL or a CTest timeout cannot be relied on), and it gives
// up at once when that parent is already gone.
#pragma once

#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

namespace kest_test {

// In the child, between fork and exec; `parent` is the pid the parent had
// before the fork. The death signal belongs to the forking thread, so fork
// from a thread that outlives the child (the test's own thread).
inline void DieWithParent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
}

}  // namespace kest_test
