// Care of the OpenMP runtime across fork, and a plain thread team for blocks of work.
#pragma once

#include <functional>

#include "types.hpp"

namespace zorp {

// Installs, once per process, a fork handler that makes the forking thread of a
// child process run every later OpenMP region (the sampler's warm-up team and
// Eigen's parallel products) on one thread. The runtime's worker threads do not
// exist in the child, and a team started there from that thread waits for them
// for ever. Results do not change: nothing in the library depends on the thread
// count beyond the last bits of large matrix products. Cheap after the first call.
void install_fork_handler();

// Runs body(b) for every b in [0, n_blocks): on the calling thread alone unless
// `parallel`, else also on omp_get_max_threads() - 1 short-lived threads, each
// thread taking the next block not yet taken, so that a thread the system does
// not schedule delays only the block it holds. Plain threads, not an OpenMP
// team: they end with the call instead of spinning afterwards against NumPy's
// or the caller's threads. The first exception a body throws is rethrown after
// every thread has stopped; blocks not yet started are then skipped.
void for_each_block(Index n_blocks, bool parallel, const std::function<void(Index)>& body);

}  // namespace zorp
