#include "parallel.hpp"

#include <omp.h>
#include <pthread.h>

#include <mutex>

namespace zorp {

namespace {

// Runs in the child, on its only thread, right after fork returns there.
void one_thread_in_child() { omp_set_num_threads(1); }

}  // namespace

void install_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &one_thread_in_child); });
}

}  // namespace zorp
