// Robust statistics, description-length score and Gibbs entropy.
#pragma once

#include <cstdint>
#include <vector>

#include "types.hpp"

namespace zorp {

// Median by selection; reorders its own copy. 0.0 for an empty vector, NaN when
// any element is NaN.
double median_inplace(std::vector<double> v);

// Unscaled median absolute deviation about the median. 0.0 for an empty vector,
// NaN when any element is NaN (or a deviation is, as for inf - inf).
double mad(const VectorRef& y);

// The engine of mad and of the many-column MADs: bucket selection of the two
// middle order statistics, first of the values, then of their distances to
// the median, each ending in std::nth_element on the few values left. Exact:
// the result is that of two full selections.
struct MadScratch {
    explicit MadScratch(Index n);  // room for inputs of up to n values
    std::vector<double> work;
    std::vector<std::uint16_t> bucket;
};

// Smallest and largest of v[0, n) (n >= 1); false when a value is NaN.
bool value_bounds(const double* v, Index n, double& lo, double& hi);

// mad() of x[0, n), for n up to the scratch's size.
double mad_of(const double* x, Index n, MadScratch& scratch);

// mad_of for n >= 1 values without NaN whose smallest and largest are lo and hi.
double mad_within(const double* x, Index n, double lo, double hi, MadScratch& scratch);

// Fraction of positions i < len(yt) with |yp[i] - yt[i]| < eps, raised to at
// least 1/(2n). Throws std::invalid_argument when yp is shorter than yt.
double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps);

// The success rate of `hits` hits among n positions: hits / n, raised to at
// least 1/(2n).
double success_rate(Index hits, Index n);

// Number of rows i with |(X b)[i] - yt[i]| < eps, for X with len(yt) rows. The
// fitted values round exactly as the product X * b does, so the count equals
// compute_SR's on that product; where it can, the count is taken in the same
// pass as the product, without storing it. yp is scratch for the other cases.
// Throws std::invalid_argument unless X is len(yt) x len(b).
Index linear_hits(const MatrixRef& X, const VectorXd& b, const VectorRef& yt, double eps,
                  VectorXd& yp);

// Quadratic form b' R b, formed as the dot product of b with R b. An R without
// rows gives 0. Throws std::invalid_argument unless R is M x M with M = len(b).
double quad_form(const VectorXd& b, const MatrixXd& R);

// Description-length score of the prediction yp against yt with a given hit
// tolerance: (k ln(2H) / n) k - n ln(sr), plus gamma b'R b for every active
// penalty term of pen. Lower is better. Throws std::invalid_argument when yp is
// shorter than yt, or when pen is active and beta is null or an active matrix
// is not M x M with M = len(beta); inactive matrices are never read.
double mdl_score_cached(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen);

// mdl_score_cached from the success rate sr over n observations, for a beta
// and pen that mdl_score_cached would accept.
double mdl_score_of_rate(double sr, Index n, int k, int H, const VectorXd* beta,
                         const PenaltySpec* pen);

// Hit tolerance of the score for observed values with median absolute
// deviation m: 0.4 m, or 0.4 when m is 0 or NaN.
double score_tolerance(double m);

// mdl_score_cached with the tolerance derived from mad(yt).
double mdl_score(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen);

// Entropy summary of the Boltzmann distribution that the energies define at
// temperature T. Throws std::invalid_argument for an empty vector.
GibbsResult gibbs_entropy(const VectorXd& energies, double T);

}  // namespace zorp
