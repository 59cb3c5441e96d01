#include "sampler.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "parallel.hpp"
#include "stats.hpp"

namespace zorp {

namespace {

// Warm-up work (chains x evaluations x the work of one evaluation, about one
// multiply-add each) below which the team does not pay: about 2 ms on one core.
constexpr double kWarmupTeamWork = 2e7;

// Energy of coefficient vectors for one fit, whose arguments check_fit_args has
// accepted. Each chain owns one evaluator; its buffer for the fitted values,
// sized on first use where the hits cannot be counted in the product's pass, is
// reused across evaluations.
class EnergyEvaluator {
  public:
    EnergyEvaluator(const MatrixRef& X, const VectorRef& y, int H, double eps,
                    const PenaltySpec& pen)
        : X_(X), y_(y), k_(static_cast<int>(X.cols())), H_(H), eps_(eps), pen_(pen) {}

    double operator()(const VectorXd& bv) {
        const Index n = y_.size();
        const Index hits = linear_hits(X_, bv, y_, eps_, yp_);
        return mdl_score_of_rate(success_rate(hits, n), n, k_, H_, &bv, &pen_);
    }

  private:
    const MatrixRef& X_;
    const VectorRef& y_;
    int k_;
    int H_;
    double eps_;
    const PenaltySpec& pen_;
    VectorXd yp_;
};

// One random-walk Metropolis step at temperature T from (b, e): the proposal,
// built in the scratch vector bc, moves every coordinate by one draw from prop,
// coordinate 0 first; on acceptance it becomes the current state.
void metropolis_step(VectorXd& b, double& e, VectorXd& bc, double T, std::mt19937_64& rng,
                     std::normal_distribution<double>& prop,
                     std::uniform_real_distribution<double>& unif, EnergyEvaluator& energy) {
    for (Index i = 0; i < b.size(); ++i) {
        bc[i] = b[i] + prop(rng);
    }
    const double ec = energy(bc);
    if (detail::accept_proposal(e, ec, T, rng, unif)) {
        b.swap(bc);
        e = ec;
    }
}

void check_fit_args(int n_chains, const MatrixRef& X, const VectorRef& y, const PenaltySpec& pen) {
    if (n_chains < 1) {
        throw std::invalid_argument("TournamentMCMC.fit: n_chains < 1");
    }
    if (X.rows() != y.size()) {
        throw std::invalid_argument("TournamentMCMC.fit: X must have len(y) rows");
    }
    const Index k = X.cols();
    const auto square_k = [k](const MatrixXd& R) { return R.rows() == k && R.cols() == k; };
    if ((pen.term1_active() && !square_k(*pen.R1)) || (pen.term2_active() && !square_k(*pen.R2))) {
        throw std::invalid_argument("TournamentMCMC.fit: penalty matrix is not k x k");
    }
}

}  // namespace

namespace detail {

bool accept_proposal(double e, double ec, double T, std::mt19937_64& rng,
                     std::uniform_real_distribution<double>& unif) {
    if (ec < e) {
        return true;
    }
    const double u = unif(rng);
    double a = (e - ec) / T;
    if (!(a < 0.0)) {
        a = 0.0;
    }
    return u < std::exp(a);
}

void sort_chains(std::vector<Chain>& chains) {
    std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        if (std::isnan(a.energy)) {
            return false;
        }
        return std::isnan(b.energy) || a.energy < b.energy;
    });
}

std::vector<Chain> select_elite(const std::vector<Chain>& sorted, int n_elite) {
    if (sorted.empty()) {
        throw std::invalid_argument("select_elite: no chains");
    }
    const Index n = static_cast<Index>(sorted.size());
    std::vector<Chain> elite{sorted[0]};
    const auto wants_more = [&elite, n_elite] {
        return static_cast<Index>(elite.size()) < static_cast<Index>(n_elite);
    };
    for (Index i = 1; i < n && wants_more(); ++i) {
        const Chain& cand = sorted[static_cast<size_t>(i)];
        bool diverse = true;
        for (const Chain& m : elite) {
            // A NaN distance does not exclude the candidate.
            if ((cand.beta - m.beta).norm() <= 0.1) {
                diverse = false;
                break;
            }
        }
        if (diverse) {
            elite.push_back(cand);
        }
    }
    // Fill by sorted position from the elite's size; a chain taken above may
    // be taken again here.
    for (Index i = static_cast<Index>(elite.size()); i < n && wants_more(); ++i) {
        elite.push_back(sorted[static_cast<size_t>(i)]);
    }
    return elite;
}

}  // namespace detail

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

MCMCResult TournamentMCMC::fit(const MatrixRef& X, const VectorRef& y, const MatrixXd* R1,
                               const MatrixXd* R2, double gamma1, double gamma2,
                               const CancelCheck& cancel) const {
    const Index k = X.cols();
    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    check_fit_args(n_chains_, X, y, pen);
    const double m_cached = mad(y);
    const double eps_cached = score_tolerance(m_cached);
    std::vector<Chain> chains(static_cast<size_t>(n_chains_));
    // Work of one energy evaluation, for the polling budget.
    const Index eval_work = X.size() + y.size() + 1;
    // A small warm-up runs on the calling thread: starting the team and, after
    // the region, its threads' spin-wait cost more than the chains, and with
    // the machine's other cores busy a descheduled team thread stalls the fit.
    // The chains' results do not depend on where they ran.
    const double warmup_work = static_cast<double>(n_chains_) * (std::max(n_warmup_, 0) + 1.0) *
                               static_cast<double>(eval_work);
    const bool team_pays = n_chains_ > 1 && warmup_work >= kWarmupTeamWork;

    // Warm-up: independent cooling chains, each with its own stream.
    detail::parallel_for_each_chain(
        n_chains_,
        [&](int c, TeamControl& control) {
            std::mt19937_64 rng(seed_ + 1000u * static_cast<std::uint64_t>(c));
            std::normal_distribution<double> init(0.0, 0.5);
            std::normal_distribution<double> prop(0.0, step_size_);
            std::uniform_real_distribution<double> unif(0.0, 1.0);
            EnergyEvaluator energy(X, y, H_piH_, eps_cached, pen);

            VectorXd b(k);
            for (Index i = 0; i < k; ++i) {
                b[i] = init(rng);
            }
            double e = energy(b);
            double T = 2.0;
            VectorXd bc(k);
            for (int it = 0; it < n_warmup_; ++it) {
                if (!control.keep_going(eval_work)) {
                    return;
                }
                metropolis_step(b, e, bc, T, rng, prop, unif, energy);
                T *= 0.995;
            }
            chains[static_cast<size_t>(c)] = Chain{std::move(b), e};
        },
        cancel, team_pays);

    VectorXd energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c) {
        energies[c] = chains[static_cast<size_t>(c)].energy;
    }
    const GibbsResult gb = gibbs_entropy(energies, 1.0);
    detail::sort_chains(chains);
    const std::vector<Chain> elite = detail::select_elite(chains, n_elite_);

    // Deep phase: one cooling schedule across all elite members, in order.
    VectorXd best_b = elite[0].beta;
    double best_e = elite[0].energy;
    double T = 0.5 * gb.r_heat;
    EnergyEvaluator energy(X, y, H_piH_, eps_cached, pen);
    VectorXd bc(k);
    CancelPoller poller(cancel);
    for (size_t ei = 0; ei < elite.size(); ++ei) {
        std::mt19937_64 rng(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei));
        std::normal_distribution<double> prop(0.0, 0.3 * step_size_);
        std::uniform_real_distribution<double> unif(0.0, 1.0);
        VectorXd b = elite[ei].beta;
        double e = elite[ei].energy;
        for (int it = 0; it < n_deep_; ++it) {
            poller.add(eval_work);
            metropolis_step(b, e, bc, T, rng, prop, unif, energy);
            if (e < best_e) {
                best_b = b;
                best_e = e;
            }
            T *= 0.9997;
        }
    }
    return MCMCResult{std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace zorp
