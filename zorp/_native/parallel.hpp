// Care of the OpenMP runtime across fork.
#pragma once

namespace zorp {

// Installs, once per process, a fork handler that makes the forking thread of a
// child process run every later OpenMP region (the sampler's warm-up team and
// Eigen's parallel products) on one thread. The runtime's worker threads do not
// exist in the child, and a team started there from that thread waits for them
// for ever. Results do not change: nothing in the library depends on the thread
// count beyond the last bits of large matrix products. Cheap after the first call.
void install_fork_handler();

}  // namespace zorp
