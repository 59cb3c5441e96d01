#include "parallel.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zorp {

namespace {

// Runs in the child, on its only thread, right after fork returns there.
void one_thread_in_child() { omp_set_num_threads(1); }

}  // namespace

void install_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &one_thread_in_child); });
}

void for_each_block(Index n_blocks, bool parallel, const std::function<void(Index)>& body) {
    std::atomic<Index> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    const auto work = [&] {
        for (Index b = next++; b < n_blocks && !failed.load(); b = next++) {
            try {
                body(b);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) {
                    error = std::current_exception();
                }
                failed = true;
            }
        }
    };
    const Index helpers =
        parallel ? std::min<Index>(n_blocks, static_cast<Index>(omp_get_max_threads())) - 1 : 0;
    std::vector<std::thread> team;
    team.reserve(static_cast<size_t>(std::max<Index>(helpers, 0)));
    for (Index i = 0; i < helpers; ++i) {
        try {
            team.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones started do the work
        }
    }
    work();
    for (std::thread& thread : team) {
        thread.join();
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace zorp
