#include "parallel.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <vector>

namespace zorp {

namespace {

// Runs in the child, on its only thread, right after fork returns there.
void one_thread_in_child() { omp_set_num_threads(1); }

// How often a calling thread without work of its own polls for cancellation.
constexpr auto kIdlePoll = std::chrono::milliseconds(5);

}  // namespace

void install_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &one_thread_in_child); });
}

bool TeamControl::keep_going(Index work) {
    if (on_calling_thread() && !stopped()) {
        try {
            poller_.add(work);
        } catch (...) {
            stop(std::current_exception());
        }
    }
    return !stopped();
}

void TeamControl::poll_on_calling_thread() {
    if (!on_calling_thread() || stopped()) {
        return;
    }
    try {
        poller_.poll();
    } catch (...) {
        stop(std::current_exception());
    }
}

void TeamControl::stop(std::exception_ptr reason) {
    bool expected = false;
    if (has_reason_.compare_exchange_strong(expected, true)) {
        reason_ = std::move(reason);
    }
    stop_.store(true, std::memory_order_release);
}

void TeamControl::rethrow_if_stopped() const {
    if (stopped() && reason_) {
        std::rethrow_exception(reason_);
    }
}

namespace detail {

void parallel_for_each_chain(int n, const std::function<void(int, TeamControl&)>& body,
                             const CancelCheck& cancel, bool in_parallel) {
    install_fork_handler();
    std::vector<std::exception_ptr> errors(static_cast<size_t>(std::max(n, 0)));
    TeamControl control(cancel);
    std::atomic<int> finished{0};
#pragma omp parallel if (in_parallel)
    {
#pragma omp for schedule(dynamic, 1) nowait
        for (int c = 0; c < n; ++c) {
            if (!control.stopped()) {
                try {
                    body(c, control);
                } catch (...) {
                    errors[static_cast<size_t>(c)] = std::current_exception();
                }
            }
            finished.fetch_add(1, std::memory_order_release);
        }
        // The calling thread has no item left: it keeps answering interrupts
        // while the rest of the team finishes its chains.
        if (omp_get_thread_num() == 0) {
            while (finished.load(std::memory_order_acquire) < n) {
                control.poll_on_calling_thread();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }
    control.rethrow_if_stopped();
    for (const std::exception_ptr& err : errors) {
        if (err) {
            std::rethrow_exception(err);
        }
    }
}

}  // namespace detail

void for_each_block(Index n_blocks, bool parallel, const std::function<void(Index)>& body,
                    const CancelCheck& cancel) {
    for_each_block(n_blocks, parallel, [&body](Index b, TeamControl&) { body(b); }, cancel);
}

void for_each_block(Index n_blocks, bool parallel,
                    const std::function<void(Index, TeamControl&)>& body,
                    const CancelCheck& cancel) {
    TeamControl control(cancel);
    std::atomic<Index> next{0};
    std::mutex mutex;
    std::condition_variable helper_done;
    Index running_helpers = 0;
    const auto work = [&] {
        for (Index b = next++; b < n_blocks && !control.stopped(); b = next++) {
            try {
                body(b, control);
            } catch (...) {
                control.stop(std::current_exception());
            }
            control.poll_on_calling_thread();
        }
    };
    const auto helper = [&] {
        work();
        const std::lock_guard<std::mutex> lock(mutex);
        --running_helpers;
        helper_done.notify_one();
    };
    const Index helpers =
        parallel ? std::min<Index>(n_blocks, static_cast<Index>(omp_get_max_threads())) - 1 : 0;
    std::vector<std::thread> team;
    team.reserve(static_cast<size_t>(std::max<Index>(helpers, 0)));
    for (Index i = 0; i < helpers; ++i) {
        try {
            const std::lock_guard<std::mutex> lock(mutex);
            team.emplace_back(helper);
            ++running_helpers;
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones started do the work
        }
    }
    work();
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running_helpers > 0) {
            if (!helper_done.wait_for(lock, kIdlePoll, [&] { return running_helpers == 0; })) {
                lock.unlock();
                control.poll_on_calling_thread();
                lock.lock();
            }
        }
    }
    for (std::thread& thread : team) {
        thread.join();
    }
    control.rethrow_if_stopped();
}

}  // namespace zorp
