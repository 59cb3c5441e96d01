// Registration of the rows of the Legendre basis. The wrapper converts and
// checks its arguments, runs the native function with the GIL released and
// converts the result back.
#include <pybind11/eigen.h>

#include <string>
#include <vector>

#include "bind_common.hpp"
#include "legendre.hpp"

namespace zorp_kernels {

namespace {

using IndexMap = Eigen::Map<const zorp::IndexRowMatrix>;

// `src` as a C-ordered array of integers: integer arrays and sequences convert;
// anything else raises TypeError (a fractional degree would be truncated
// without a word). An empty array of any real type counts as integers.
py::array_t<zorp::Index> as_index_array(const py::handle& src, const char* fn, const char* name) {
    const auto refuse_type = [&] {
        throw py::type_error(std::string(fn) + ": " + name + " must be an array of integers");
    };
    const py::array any = py::array::ensure(src);
    if (!any) {
        refuse_type();
    }
    const char kind = any.dtype().kind();
    if (kind != 'i' && kind != 'u' && !(any.size() == 0 && kind == 'f')) {
        refuse_type();
    }
    auto out = py::array_t<zorp::Index, py::array::c_style | py::array::forcecast>::ensure(any);
    if (!out) {
        refuse_type();
    }
    return out;
}

std::string dims(py::ssize_t ndim) { return std::to_string(ndim) + "-D"; }

}  // namespace

void bind_legendre(py::module_& m, const zorp::CancelCheck& cancel) {
    m.def(
        "legendre_rows",
        [cancel](const py::object& U_in, const py::object& mi_in, const py::object& derivative_in) {
            constexpr const char* fn = "legendre_rows";
            const py::array_t<double> points = as_real_array(U_in, fn, "U");
            if (points.ndim() != 2) {
                refuse(fn, "U must be 2-D, not " + dims(points.ndim()));
            }
            const MatrixArg U(points, fn, "U", Order::rows);
            const zorp::Index D = U.cols();
            const py::array_t<zorp::Index> mi = as_index_array(mi_in, fn, "multi_indices");
            if (mi.ndim() != 2) {
                refuse(fn, "multi_indices must be 2-D, not " + dims(mi.ndim()));
            }
            if (mi.shape(1) != D) {
                refuse(fn, "multi_indices has " + std::to_string(mi.shape(1)) + " columns, U has " +
                               std::to_string(D));
            }
            if (mi.shape(0) == 0) {
                refuse(fn, "multi_indices is empty");
            }
            const IndexMap degrees(mi.data(), mi.shape(0), D);
            if ((degrees.array() < 0).any()) {
                refuse(fn, "multi_indices holds a negative degree");
            }
            if ((degrees.array() > zorp::kMaxLegendreDegree).any()) {
                refuse(fn, "multi_indices holds a degree above " +
                               std::to_string(zorp::kMaxLegendreDegree));
            }
            std::vector<zorp::Index> orders;
            if (!derivative_in.is_none()) {
                const py::array_t<zorp::Index> r = as_index_array(derivative_in, fn, "derivative");
                if (r.ndim() != 1) {
                    refuse(fn, "derivative must be 1-D, not " + dims(r.ndim()));
                }
                if (r.shape(0) != D) {
                    refuse(fn, "derivative has length " + std::to_string(r.shape(0)) + ", U has " +
                                   std::to_string(D) + " columns");
                }
                orders.assign(r.data(), r.data() + D);
                for (const zorp::Index order : orders) {
                    if (order < 0) {
                        refuse(fn, "derivative holds a negative order");
                    }
                }
            }
            require_finite(fn, U);
            return without_gil(
                [&] { return zorp::legendre_rows(U.rows_view(), degrees, orders, cancel); });
        },
        "legendre_rows(U, multi_indices, derivative=None)\n\n"
        "Design rows (n, k) of the Legendre terms multi_indices (k, D) at the points\n"
        "U (n, D): term m is prod_d P_{mi[m, d]}(U[:, d]), P_p the Legendre polynomial\n"
        "with P_p(1) = 1 (numpy.polynomial.legendre's), or with derivative (D orders\n"
        "r_d) prod_d of the r_d-th derivatives. Points outside [-1, 1] extrapolate;\n"
        "degrees go up to 65535.",
        py::arg("U"), py::arg("multi_indices"), py::arg("derivative") = py::none());

    m.def(
        "legendre_gram",
        [](const py::object& mu_in, zorp::Index top) {
            constexpr const char* fn = "legendre_gram";
            const VectorArg mu(mu_in, fn, "mu");
            if (top < 0 || top > zorp::kMaxLegendreDegree) {
                refuse(fn, "top must lie in [0, " + std::to_string(zorp::kMaxLegendreDegree) + "]");
            }
            if (mu.size() < 2 * top + 1) {
                refuse(fn, "mu has " + std::to_string(mu.size()) + " entries, 2 top + 1 = " +
                               std::to_string(2 * top + 1) + " are needed");
            }
            require_finite(fn, mu);
            return without_gil([&] { return zorp::legendre_gram(mu.view(), top); });
        },
        "legendre_gram(mu, top)\n\n"
        "The Gram matrix (top + 1, top + 1) of P_0 .. P_top over weighted points, from\n"
        "their moments mu[j] = sum_i w_i P_j(x_i), j = 0 .. 2 top.",
        py::arg("mu"), py::arg("top"));

    m.def(
        "legendre_moments",
        [cancel](const py::object& x_in, const py::object& w_in, const py::object& Y_in,
                 zorp::Index top_mu, zorp::Index top_cross) {
            constexpr const char* fn = "legendre_moments";
            const VectorArg x(x_in, fn, "x");
            const VectorArg w(w_in, fn, "w");
            const MatrixArg Y(Y_in, fn, "Y", Order::rows);
            if (Y.rows() != x.size()) {
                refuse(fn, "Y has " + std::to_string(Y.rows()) + " rows, x has " +
                               std::to_string(x.size()));
            }
            if (w.size() != 0 && w.size() != x.size()) {
                refuse(fn, "w must be empty or as long as x");
            }
            if (top_cross < 0 || top_mu < top_cross || top_mu > zorp::kMaxLegendreDegree) {
                refuse(fn, "the degrees must satisfy 0 <= top_cross <= top_mu <= 65535");
            }
            require_finite(fn, x);
            const zorp::LegendreMoments r = without_gil([&] {
                return zorp::legendre_moments(x.view(), w.view(), Y.rows_view(), top_mu, top_cross,
                                              cancel);
            });
            return py::make_tuple(r.mu, r.cross, r.yy);
        },
        "legendre_moments(x, w, Y, top_mu, top_cross)\n\n"
        "(mu, cross, yy): mu[j] = sum_i w_i P_j(x_i) for j <= top_mu, cross[j, c] =\n"
        "sum_i w_i Y[i, c] P_j(x_i) for j <= top_cross, yy[c] = sum_i w_i Y[i, c]^2\n"
        "(w empty: all 1), without forming the rows.",
        py::arg("x"), py::arg("w"), py::arg("Y"), py::arg("top_mu"), py::arg("top_cross"));
}

}  // namespace zorp_kernels
