// The private module zorp._native._kernels: kernels for many target columns
// and the choice of the smoothness weight, for the package's own Python code.
// Each topic registers its functions from its own file.
#include <pybind11/pybind11.h>

#include "bind_common.hpp"
#include "parallel.hpp"
#include "types.hpp"

PYBIND11_MODULE(_kernels, m) {
    m.doc() =
        "Private native kernels of zorp: many target columns, Gram matrices, the\n"
        "choice of the smoothness weight and rows of the Legendre basis.";

    // A cancelled call returns with the Python error that stopped it still set.
    pybind11::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const zorp::Cancelled& e) {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
            }
        }
    });
    zorp::install_fork_handler();
    const zorp::CancelCheck cancel = zorp_kernels::signal_raised_without_gil;
    zorp_kernels::bind_columns(m, cancel);
    zorp_kernels::bind_search(m, cancel);
    zorp_kernels::bind_legendre(m, cancel);
}
