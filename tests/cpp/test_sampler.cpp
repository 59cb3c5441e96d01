#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sampler.hpp"
#include "stats.hpp"

namespace {

using zorp::Chain;
using zorp::VectorXd;
namespace detail = zorp::detail;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Chain chain(std::vector<double> beta, double energy) {
    Chain c;
    c.beta = Eigen::Map<const VectorXd>(beta.data(), static_cast<Eigen::Index>(beta.size()));
    c.energy = energy;
    return c;
}

// Number of engine outputs that a call consumed, found by replaying a copy.
int draws_between(std::mt19937_64 before, const std::mt19937_64& after) {
    for (int n = 0; n < 4; ++n) {
        if (before == after) {
            return n;
        }
        before();
    }
    return -1;
}

TEST(AcceptProposal, DrawAccounting) {
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::mt19937_64 rng(17);
    std::mt19937_64 start = rng;

    EXPECT_TRUE(detail::accept_proposal(2.0, 1.0, 0.5, rng, unif));  // strictly better
    EXPECT_EQ(draws_between(start, rng), 0);

    start = rng;
    EXPECT_TRUE(detail::accept_proposal(2.0, 2.0, 0.5, rng, unif));  // equal energy
    EXPECT_EQ(draws_between(start, rng), 1);

    start = rng;
    EXPECT_TRUE(detail::accept_proposal(2.0, kNaN, 0.5, rng, unif));  // NaN counts as 0
    EXPECT_EQ(draws_between(start, rng), 1);
}

TEST(AcceptProposal, WorseProposalComparesOneUniformWithBoltzmannFactor) {
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::mt19937_64 rng(99);
    int accepted = 0;
    for (int i = 0; i < 200; ++i) {
        std::mt19937_64 peek = rng;
        std::uniform_real_distribution<double> peek_unif(0.0, 1.0);
        const double u = peek_unif(peek);
        const double e = 1.0;
        const double ec = 1.0 + 0.01 * i;
        const bool want = u < std::exp((e - ec) / 0.7);
        EXPECT_EQ(detail::accept_proposal(e, ec, 0.7, rng, unif), want) << i;
        EXPECT_TRUE(rng == peek);
        accepted += want;
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 200);
    // At zero temperature a worse proposal never passes.
    EXPECT_FALSE(detail::accept_proposal(1.0, 1.5, 0.0, rng, unif));
}

TEST(SortChains, NaNEnergiesGoLast) {
    std::vector<Chain> chains;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int i = 0; i < 200; ++i) {
        chains.push_back(chain({static_cast<double>(i)}, i % 3 == 0 ? kNaN : u(rng)));
    }
    chains.push_back(chain({-1.0}, -std::numeric_limits<double>::infinity()));
    detail::sort_chains(chains);
    EXPECT_EQ(chains.front().beta[0], -1.0);
    size_t first_nan = 0;
    while (first_nan < chains.size() && !std::isnan(chains[first_nan].energy)) {
        ++first_nan;
    }
    EXPECT_EQ(first_nan, chains.size() - 67);
    for (size_t i = first_nan; i < chains.size(); ++i) {
        EXPECT_TRUE(std::isnan(chains[i].energy));
    }
    for (size_t i = 1; i < first_nan; ++i) {
        EXPECT_LE(chains[i - 1].energy, chains[i].energy);
    }
}

std::vector<double> first_coords(const std::vector<Chain>& elite) {
    std::vector<double> out;
    for (const Chain& c : elite) {
        out.push_back(c.beta[0]);
    }
    return out;
}

TEST(SelectElite, FillPassRestartsAtEliteSize) {
    // Positions 1, 3, 4 lie within 0.1 of position 0 or 2.
    const std::vector<Chain> sorted{chain({0.0}, 1.0), chain({0.05}, 2.0), chain({1.0}, 3.0),
                                    chain({1.02}, 4.0), chain({0.01}, 5.0)};
    EXPECT_EQ(first_coords(detail::select_elite(sorted, 3)), (std::vector<double>{0.0, 1.0, 1.0}));
    EXPECT_EQ(first_coords(detail::select_elite(sorted, 2)), (std::vector<double>{0.0, 1.0}));
    // More wanted than there are chains: diverse {0, 2}, then fill from 2.
    EXPECT_EQ(first_coords(detail::select_elite(sorted, 9)),
              (std::vector<double>{0.0, 1.0, 1.0, 1.02, 0.01}));
}

TEST(SelectElite, AlwaysKeepsTheBestChain) {
    const std::vector<Chain> sorted{chain({0.0}, 1.0), chain({5.0}, 2.0)};
    for (int n_elite : {-3, 0, 1}) {
        const auto elite = detail::select_elite(sorted, n_elite);
        ASSERT_EQ(elite.size(), 1u);
        EXPECT_EQ(elite[0].beta[0], 0.0);
        EXPECT_EQ(elite[0].energy, 1.0);
    }
    EXPECT_THROW(detail::select_elite({}, 3), std::invalid_argument);
}

TEST(SelectElite, DistanceBoundaryAndNaN) {
    // Exactly 0.1 apart (3-4-5 triangle scaled) is not diverse; NaN is.
    const std::vector<Chain> sorted{chain({0.0, 0.0}, 1.0), chain({0.06, 0.08}, 2.0),
                                    chain({kNaN, 0.0}, 3.0), chain({0.0, 0.25}, 4.0)};
    ASSERT_EQ((sorted[1].beta - sorted[0].beta).norm(), 0.1);
    const auto elite = detail::select_elite(sorted, 3);
    ASSERT_EQ(elite.size(), 3u);
    EXPECT_EQ(elite[1].energy, 3.0);
    EXPECT_EQ(elite[2].energy, 4.0);
}

TEST(SelectElite, EmptyCoefficientsFillBySortedPosition) {
    const std::vector<Chain> sorted{chain({}, 1.0), chain({}, 2.0), chain({}, 3.0)};
    const auto elite = detail::select_elite(sorted, 2);
    ASSERT_EQ(elite.size(), 2u);
    EXPECT_EQ(elite[1].energy, 2.0);
}

TEST(ParallelForEachChain, FailureIsRethrownOnTheCallingThread) {
    std::vector<int> ran(40, 0);
    const auto body = [&ran](int c, zorp::TeamControl&) {
        ran[static_cast<size_t>(c)] = 1;
        if (c == 31) {
            throw std::runtime_error("chain 31");
        }
        if (c == 7) {
            throw std::bad_alloc();
        }
    };
    EXPECT_THROW(detail::parallel_for_each_chain(40, body), std::bad_alloc);
    for (int r : ran) {
        EXPECT_EQ(r, 1);
    }
    EXPECT_NO_THROW(detail::parallel_for_each_chain(0, body));
}

// A warm-up too small for a team runs every chain on the calling thread.
TEST(ParallelForEachChain, SerialLoopRunsOnTheCallingThread) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(2);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<int> ran(9, 0);
    std::atomic<bool> elsewhere{false};
    const auto body = [&](int c, zorp::TeamControl&) {
        elsewhere = elsewhere || std::this_thread::get_id() != caller || omp_get_num_threads() != 1;
        ++ran[static_cast<size_t>(c)];
    };
    detail::parallel_for_each_chain(9, body, {}, false);
    omp_set_num_threads(saved);
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(ran, std::vector<int>(9, 1));
}

// Team threads other than the calling one spin until told to stop; the calling
// thread, once out of work, must keep polling, be the only thread that polls,
// and stop the team.
TEST(ParallelForEachChain, CancellationStopsTheTeamFromTheCallingThread) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(2);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> polls{0};
    std::atomic<bool> foreign_poll{false};
    const zorp::CancelCheck cancel = [&] {
        foreign_poll = foreign_poll || std::this_thread::get_id() != caller;
        return ++polls >= 3;
    };
    std::atomic<int> team_size{0};
    std::atomic<bool> worker_running{false};
    const auto body = [&](int, zorp::TeamControl& control) {
        team_size = omp_get_num_threads();
        if (team_size < 2) {
            return;
        }
        if (omp_get_thread_num() == 0) {
            // Let a worker take an item before running out of work.
            while (!worker_running) {
            }
            return;
        }
        worker_running = true;
        while (control.keep_going(1)) {
        }
    };
    bool cancelled = false;
    try {
        detail::parallel_for_each_chain(8, body, cancel);
    } catch (const zorp::Cancelled&) {
        cancelled = true;
    }
    omp_set_num_threads(saved);
    if (team_size < 2) {
        GTEST_SKIP() << "no second OpenMP thread";
    }
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(foreign_poll);
    EXPECT_EQ(polls, 3);
    std::atomic<int> started{0};
    // Without a check, or with one that never fires, every item runs.
    started = 0;
    EXPECT_NO_THROW(detail::parallel_for_each_chain(
        5, [&](int, zorp::TeamControl& control) { started += control.keep_going(1); }));
    EXPECT_EQ(started, 5);
}

TEST(TournamentMCMC, CancelledFitThrows) {
    const Eigen::Index n = 50;
    const zorp::MatrixXd X = zorp::MatrixXd::Random(n, 3);
    const VectorXd y = VectorXd::Random(n);
    int polls = 0;
    const zorp::CancelCheck after_some = [&polls] { return ++polls > 2; };
    const zorp::TournamentMCMC sampler(4, 200000, 200000, 2, 0.05, 20, 1);
    EXPECT_THROW(sampler.fit(X, y, nullptr, nullptr, 0.0, 0.0, after_some), zorp::Cancelled);
    EXPECT_EQ(polls, 3);
    const zorp::TournamentMCMC small(4, 30, 40, 2, 0.05, 20, 1);
    const zorp::CancelCheck never = [] { return false; };
    const auto a = small.fit(X, y, nullptr, nullptr, 0.0, 0.0, never);
    const auto b = small.fit(X, y, nullptr, nullptr, 0.0, 0.0);
    EXPECT_EQ(a.energy, b.energy);
    EXPECT_TRUE(a.beta_mcmc == b.beta_mcmc);
}

TEST(TournamentMCMC, EnergyIsTheScoreOfTheReportedCoefficients) {
    const Eigen::Index n = 300;
    const int k = 5;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    zorp::MatrixXd X(n, k);
    VectorXd y(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double x = std::sin(static_cast<double>(i));
        for (int p = 0; p < k; ++p) {
            X(i, p) = std::pow(x, p);
        }
        y[i] = std::exp(x) + 0.1 * normal(rng);
    }
    const zorp::MatrixXd R1 = zorp::MatrixXd::Identity(k, k);
    const zorp::TournamentMCMC sampler(8, 50, 100, 3, 0.05, 20, 1);
    const zorp::MCMCResult res = sampler.fit(X, y, &R1, nullptr, 0.01, 0.0);
    const VectorXd yp = X * res.beta_mcmc;
    const zorp::PenaltySpec pen{&R1, nullptr, 0.01, 0.0};
    EXPECT_EQ(res.energy, zorp::mdl_score(yp, y, k, 20, &res.beta_mcmc, &pen));
}

}  // namespace
