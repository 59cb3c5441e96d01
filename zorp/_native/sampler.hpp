// Tournament MCMC search of coefficient space.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <random>
#include <vector>

#include "types.hpp"

namespace zorp {

// State of one Metropolis chain.
struct Chain {
    VectorXd beta;
    double energy = 0.0;
};

// Best state of a fit with the entropy summary of its warm-up chains.
struct MCMCResult {
    VectorXd beta_mcmc;
    double energy = 0.0;
    GibbsResult gibbs;
    int n_chains = 0;
    int n_elite = 0;  // configured target, not the number of chains continued
};

// Searches for the coefficients of X beta ~ y with the lowest description-length
// energy: n_chains cooling chains run in parallel, the best and most diverse
// n_elite of them are continued one after the other at a cooler temperature.
// Results depend on the configuration and the input only, not on thread count.
class TournamentMCMC {
  public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH,
                   std::uint64_t seed);

    // R1, R2 may be null. Throws std::invalid_argument, before any chain runs,
    // when n_chains < 1, X has not len(y) rows, or an active penalty matrix is
    // not k x k. The cancellation check is polled on the calling thread between
    // iterations of both phases, also while other threads run warm-up chains;
    // on cancellation every thread stops and Cancelled is thrown.
    MCMCResult fit(const MatrixRef& X, const VectorRef& y, const MatrixXd* R1, const MatrixXd* R2,
                   double gamma1, double gamma2, const CancelCheck& cancel = {}) const;

  private:
    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

namespace detail {

// Metropolis test of a proposal with energy ec against the current energy e at
// temperature T. A strictly lower ec is accepted without a draw; otherwise one
// uniform variate u is drawn and the proposal accepted if u < exp(min(0, (e - ec) / T)),
// a NaN exponent counting as 0.
bool accept_proposal(double e, double ec, double T, std::mt19937_64& rng,
                     std::uniform_real_distribution<double>& unif);

// Sorts chains by ascending energy; NaN energies go after every number.
void sort_chains(std::vector<Chain>& chains);

// Elite of at most n_elite chains from chains sorted by energy: the best one,
// then every chain farther than 0.1 from all members already taken, then a fill
// by sorted position starting at the elite's size. Holds at least one chain.
std::vector<Chain> select_elite(const std::vector<Chain>& sorted, int n_elite);

// Lets the bodies of a parallel loop ask, between their iterations, whether to
// go on. On the calling thread (thread 0 of the team) asking also polls the
// cancellation check; other threads only read the shared stop flag.
class TeamControl {
  public:
    explicit TeamControl(const CancelCheck& cancel) : poller_(cancel) {}

    // True while the work should continue; `work` counts towards the polling
    // budget of the calling thread.
    bool keep_going(Index work);

    // Polls the check now if this is the calling thread; never throws.
    void poll_on_calling_thread();

    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Rethrows what stopped the team on the calling thread (Cancelled or the
    // check's own exception); does nothing if it was not stopped.
    void rethrow_if_stopped() const;

  private:
    CancelPoller poller_;
    std::atomic<bool> stop_{false};
    std::exception_ptr reason_;  // written by the calling thread only
};

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

}  // namespace zorp
