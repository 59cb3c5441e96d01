// Argument conversion, checks and cancellation shared by the bindings of the
// private kernels module. Conversion only: no arithmetic.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>

#include "types.hpp"

namespace zorp_kernels {

namespace py = pybind11;

using RowMatrixMap =
    Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;
using ColMatrixMap = Eigen::Map<const zorp::MatrixXd>;
using VectorMap = Eigen::Map<const zorp::VectorXd>;

// A ValueError "fn: what", raised before any work.
[[noreturn]] inline void refuse(const char* fn, const std::string& what) {
    throw py::value_error(std::string(fn) + ": " + what);
}

// `src` as a NumPy array of float64 values: array-likes of booleans, integers
// and floats convert as NumPy converts them; complex numbers raise TypeError
// (their imaginary parts would be dropped without a word), and so does
// anything that is not numbers.
inline py::array_t<double> as_real_array(const py::handle& src, const char* fn, const char* name) {
    const py::array any = py::array::ensure(src);
    if (!any) {
        throw py::type_error(std::string(fn) + ": " + name + " must be an array of real numbers");
    }
    const char kind = any.dtype().kind();
    if (kind == 'c') {
        throw py::type_error(std::string(fn) + ": " + name +
                             " is complex; pass its real part explicitly");
    }
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O') {
        throw py::type_error(std::string(fn) + ": " + name + " must be an array of real numbers");
    }
    auto out = py::array_t<double, py::array::forcecast>::ensure(any);
    if (!out) {
        throw py::type_error(std::string(fn) + ": " + name + " must be an array of real numbers");
    }
    return out;
}

// Memory order a kernel reads a matrix argument in.
enum class Order { any, cols, rows };

// Values per step of a scan that polls for Ctrl-C between steps (a few
// milliseconds of work).
constexpr zorp::Index kScanValues = zorp::Index{1} << 20;

// Raises the pending Python exception (KeyboardInterrupt after Ctrl-C) while
// the GIL is held.
inline void check_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// A matrix argument (2-D, or 1-D taken as one column) kept alive for the call.
// For Order::any a C-ordered float64 array (that is not also Fortran-ordered)
// is viewed in place as row-major and a Fortran-ordered one as column-major;
// anything else, and any array not in the order a kernel needs, is copied once.
class MatrixArg {
  public:
    MatrixArg(const py::handle& src, const char* fn, const char* name, Order order = Order::any)
        : name_(name) {
        py::array_t<double> a = as_real_array(src, fn, name);
        if (a.ndim() != 1 && a.ndim() != 2) {
            refuse(fn, std::string(name) + " must be 1-D or 2-D, not " + std::to_string(a.ndim()) +
                           "-D");
        }
        rows_ = a.shape(0);
        cols_ = a.ndim() == 2 ? a.shape(1) : 1;
        const int flags = a.flags();
        const bool c_order = (flags & py::array::c_style) != 0;
        const bool f_order = (flags & py::array::f_style) != 0;
        if (order == Order::rows) {
            row_major_ = true;
            if (!c_order) {
                a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
            }
        } else {
            row_major_ = order == Order::any && a.ndim() == 2 && c_order && !f_order;
            if (!row_major_ && !f_order) {
                a = py::array_t<double, py::array::f_style | py::array::forcecast>::ensure(a);
            }
        }
        array_ = std::move(a);
    }

    zorp::Index rows() const { return rows_; }
    zorp::Index cols() const { return cols_; }
    bool empty() const { return rows_ == 0 || cols_ == 0; }
    const char* name() const { return name_; }
    bool row_major() const { return row_major_; }

    // The argument in its own memory order (call with the GIL released if need be).
    template <class F>
    decltype(auto) visit(F&& f) const {
        if (row_major_) {
            return f(rows_view());
        }
        return f(cols_view());
    }
    // Column-major view; only for an argument that is not row-major.
    zorp::MatrixRef cols_view() const { return ColMatrixMap(data(), rows_, cols_); }
    zorp::RowMatrixRef rows_view() const { return RowMatrixMap(data(), rows_, cols_); }

    // Whether every value is finite; a scan of large arrays that answers Ctrl-C.
    bool all_finite() const {
        return visit([](const auto& m) {
            using View = std::decay_t<decltype(m)>;
            const zorp::Index outer = View::IsRowMajor ? m.rows() : m.cols();
            const zorp::Index inner =
                std::max<zorp::Index>(View::IsRowMajor ? m.cols() : m.rows(), 1);
            const zorp::Index step = std::max<zorp::Index>(kScanValues / inner, 1);
            for (zorp::Index a = 0; a < outer; a += step) {
                const zorp::Index len = std::min(step, outer - a);
                bool finite = false;
                if constexpr (View::IsRowMajor) {
                    finite = m.middleRows(a, len).allFinite();
                } else {
                    finite = m.middleCols(a, len).allFinite();
                }
                if (!finite) {
                    return false;
                }
                check_signals();
            }
            return true;
        });
    }

  private:
    const double* data() const { return array_.data(); }

    py::array_t<double> array_;
    const char* name_;
    zorp::Index rows_ = 0;
    zorp::Index cols_ = 0;
    bool row_major_ = false;
};

// A vector argument (1-D), contiguous, kept alive for the call.
class VectorArg {
  public:
    VectorArg(const py::handle& src, const char* fn, const char* name) : name_(name) {
        py::array_t<double> a = as_real_array(src, fn, name);
        if (a.ndim() != 1) {
            refuse(fn, std::string(name) + " must be 1-D, not " + std::to_string(a.ndim()) + "-D");
        }
        array_ = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
    }

    zorp::Index size() const { return array_.shape(0); }
    const char* name() const { return name_; }
    zorp::VectorRef view() const { return VectorMap(array_.data(), size()); }
    bool all_finite() const { return view().allFinite(); }

  private:
    py::array_t<double> array_;
    const char* name_;
};

// Refusals named after the argument.
template <class Arg>
void require_finite(const char* fn, const Arg& a) {
    if (!a.all_finite()) {
        refuse(fn, std::string(a.name()) + " holds NaN or infinity");
    }
}
inline void require_finite(const char* fn, const char* name, double v) {
    if (!std::isfinite(v)) {
        refuse(fn, std::string(name) + " must be finite");
    }
}
template <class Arg>
void require_nonempty(const char* fn, const Arg& a) {
    if (a.empty()) {
        refuse(fn, std::string(a.name()) + " is empty");
    }
}
inline void require_size(const char* fn, const VectorArg& v, zorp::Index n, const char* what) {
    if (v.size() != n) {
        refuse(fn, std::string(v.name()) + " has length " + std::to_string(v.size()) + ", " + what +
                       " is " + std::to_string(n));
    }
}

// Cancellation check for work run with the GIL released, on the calling
// thread: takes the GIL back for the moment of the check, so that a pending
// Ctrl-C runs Python's handler and leaves KeyboardInterrupt set.
inline bool signal_raised_without_gil() {
    const py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

// Runs f() with the GIL released; its result is converted after the GIL is back.
template <class F>
auto without_gil(F&& f) {
    const py::gil_scoped_release release;
    return f();
}

void bind_columns(py::module_& m, const zorp::CancelCheck& cancel);
void bind_search(py::module_& m, const zorp::CancelCheck& cancel);
void bind_legendre(py::module_& m, const zorp::CancelCheck& cancel);

}  // namespace zorp_kernels
