// Every thread the library starts: the OpenMP team of independent chains, the
// plain thread team for blocks of work, and care of the OpenMP runtime across fork.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

#include "types.hpp"

namespace zorp {

// Installs, once per process, a fork handler that makes the forking thread of a
// child process run every later OpenMP region (the sampler's warm-up team) on
// one thread. The runtime's worker threads do not exist in the child, and a team
// started there from that thread waits for them for ever. Results do not change:
// nothing in the library depends on the thread count. Cheap after the first call.
void install_fork_handler();

// Lets the bodies run by a team ask, between their iterations, whether to go
// on. On the thread that created it (the calling thread) asking also polls the
// cancellation check; other threads only read the shared stop flag.
class TeamControl {
  public:
    explicit TeamControl(const CancelCheck& cancel)
        : poller_(cancel), caller_(std::this_thread::get_id()) {}

    // True while the work should continue; `work` counts towards the polling
    // budget of the calling thread.
    bool keep_going(Index work);

    // Polls the check now if this is the calling thread; never throws.
    void poll_on_calling_thread();

    // Stops the team from any thread, with `reason` rethrown on the calling
    // thread unless a reason is already kept.
    void stop(std::exception_ptr reason);

    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    bool on_calling_thread() const { return std::this_thread::get_id() == caller_; }
    // Rethrows what stopped the team (Cancelled, the check's own exception, or
    // a reason given to stop); does nothing if it was not stopped.
    void rethrow_if_stopped() const;

  private:
    CancelPoller poller_;
    std::thread::id caller_;
    std::atomic<bool> stop_{false};
    std::exception_ptr reason_;  // written once, before stop_ is set
    std::atomic<bool> has_reason_{false};
};

namespace detail {

// Runs body(c, control) for c = 0 .. n - 1 on an OpenMP team (dynamic schedule,
// chunk 1), or on the calling thread alone when `in_parallel` is false. An
// exception thrown by a body is kept in that item's slot; after the region the
// one of the lowest item index is rethrown on the calling thread. Once the
// calling thread has no item left it keeps polling the cancellation check until
// the team is done. On cancellation items not yet started are
// skipped, running bodies see keep_going() false, and Cancelled is thrown after
// the region.
void parallel_for_each_chain(int n, const std::function<void(int, TeamControl&)>& body,
                             const CancelCheck& cancel = {}, bool in_parallel = true);

}  // namespace detail

// Runs body(b) for every b in [0, n_blocks): on the calling thread alone unless
// `parallel`, else also on omp_get_max_threads() - 1 short-lived threads, each
// thread taking the next block not yet taken, so that a thread the system does
// not schedule delays only the block it holds. Plain threads, not an OpenMP
// team: they end with the call instead of spinning afterwards against NumPy's
// or the caller's threads. The calling thread polls `cancel` after each of its
// blocks and, once it has none left, every few milliseconds until the others
// finish theirs. The first exception a body throws (or Cancelled) is rethrown
// after every thread has stopped; blocks not yet started are then skipped.
void for_each_block(Index n_blocks, bool parallel, const std::function<void(Index)>& body,
                    const CancelCheck& cancel = {});

// for_each_block with bodies that can stop early: body(b, control) asks
// control.keep_going(work) between steps of a long block (on the calling
// thread that also polls `cancel` once per budget of work) and returns when
// it is false.
void for_each_block(Index n_blocks, bool parallel,
                    const std::function<void(Index, TeamControl&)>& body,
                    const CancelCheck& cancel = {});

}  // namespace zorp
