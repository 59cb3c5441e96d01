// Tournament MCMC search of coefficient space.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <random>
#include <vector>

#include "parallel.hpp"
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

}  // namespace detail

}  // namespace zorp
