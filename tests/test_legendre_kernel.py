"""The native rows of the Legendre basis: values and derivatives against
numpy.polynomial.legendre, refusals before any work, and results that do not
depend on the number of threads."""

import numpy as np
import pytest
from numpy.polynomial import legendre as L

from zorp._native import _kernels as kn

rng = np.random.default_rng(17)
INSIDE = np.r_[-1.0, 1.0, 0.0, rng.uniform(-1.0, 1.0, 200)]
OUTSIDE = np.r_[-3.0, 3.0, rng.uniform(1.0, 1.6, 30), rng.uniform(-1.6, -1.0, 30)]


def assert_rows_close(got, want, rtol):
    """Entries against the largest magnitude of their row: within a row of
    high degree the values span many orders of magnitude."""
    assert got.shape == want.shape
    scale = np.max(np.abs(want), axis=1, keepdims=True)
    assert np.all(np.abs(got - want) <= rtol * scale)


def derivative_table(u, p, r):
    """(n, p + 1): the r-th derivatives of P_0 .. P_p at u, in coefficient space."""
    return np.stack([L.legval(u, L.legder(np.eye(p + 1)[q], r)) for q in range(p + 1)], axis=1)


@pytest.mark.parametrize("p", [0, 1, 5, 120])
@pytest.mark.parametrize("u", [INSIDE, OUTSIDE], ids=["inside", "outside"])
def test_one_axis_equals_legvander(p, u):
    got = kn.legendre_rows(u[:, None], np.arange(p + 1)[:, None])
    assert got.flags.c_contiguous
    assert_rows_close(got, L.legvander(u, p), 1e-13)
    # Terms in any order and repeated pick the same columns.
    picks = rng.integers(0, p + 1, 7)
    np.testing.assert_array_equal(kn.legendre_rows(u[:, None], picks[:, None]), got[:, picks])


@pytest.mark.parametrize("order", ["C", "F", "strided"])
def test_tensor_products_in_two_and_three_axes(order):
    U = rng.uniform(-1.2, 1.2, (500, 3))
    U2 = {"C": U[:, :2].copy(), "F": np.asfortranarray(U[:, :2]), "strided": U[:, ::2]}[order]
    mi = np.array([(i, j) for i in range(16) for j in range(16)])
    want = L.legvander2d(U2[:, 0], U2[:, 1], [15, 15])
    assert_rows_close(kn.legendre_rows(U2, mi), want, 1e-13)
    # An irregular set of terms in three axes.
    mi3 = rng.integers(0, 9, (40, 3))
    V = [L.legvander(U[:, d], 8) for d in range(3)]
    want3 = V[0][:, mi3[:, 0]] * V[1][:, mi3[:, 1]] * V[2][:, mi3[:, 2]]
    assert_rows_close(kn.legendre_rows(U, mi3), want3, 1e-13)


@pytest.mark.parametrize("r", [1, 2, 3])
@pytest.mark.parametrize("p", [3, 120])
def test_derivatives_equal_legder(r, p):
    got = kn.legendre_rows(INSIDE[:, None], np.arange(p + 1)[:, None], derivative=[r])
    # The reference, summed in coefficient space, itself errs by up to 1e-12 of
    # the row at degree 120 and order 3 (the recurrence by under 1e-14).
    assert_rows_close(got, derivative_table(INSIDE, p, r), 1e-11)


@pytest.mark.parametrize("orders", [(1, 2), (0, 3), (2, 0), (0, 7)])
def test_mixed_partial_derivatives(orders):
    U = np.r_[rng.uniform(-1.0, 1.0, (100, 2)), [[1.0, -1.0], [-1.0, 1.0]]]
    mi = rng.integers(0, 6, (30, 2))
    T = [derivative_table(U[:, d], 5, orders[d]) for d in range(2)]
    want = T[0][:, mi[:, 0]] * T[1][:, mi[:, 1]]
    assert_rows_close(kn.legendre_rows(U, mi, derivative=orders), want, 1e-12)


def test_no_rows_order_zero_and_orders_past_the_degree():
    assert kn.legendre_rows(np.zeros((0, 2)), [[1, 2], [0, 0]]).shape == (0, 2)
    U = rng.uniform(-1.0, 1.0, (50, 2))
    np.testing.assert_array_equal(
        kn.legendre_rows(U, [[3, 1]], derivative=(0, 0)), kn.legendre_rows(U, [[3, 1]])
    )
    # No recurrence runs up to such an order: every derivative there is zero.
    rows = kn.legendre_rows(U, [[3, 1], [0, 2]], derivative=(0, 10**15))
    np.testing.assert_array_equal(rows, np.zeros((50, 2)))


U2 = rng.uniform(-1.0, 1.0, (10, 2))
MI2 = np.array([[0, 1], [2, 0]])


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((U2[:, 0], MI2[:, :1]), ValueError, "U must be 2-D, not 1-D"),
        ((U2[None], MI2), ValueError, "U must be 2-D, not 3-D"),
        ((U2, MI2[0]), ValueError, "multi_indices must be 2-D, not 1-D"),
        ((U2, np.c_[MI2, MI2]), ValueError, "multi_indices has 4 columns, U has 2"),
        ((U2, np.zeros((0, 2), int)), ValueError, "multi_indices is empty"),
        ((U2, [[0, 1], [-1, 0]]), ValueError, "multi_indices holds a negative degree"),
        ((U2, [[0, 1], [65536, 0]]), ValueError, "multi_indices holds a degree above 65535"),
        ((U2, MI2, [1]), ValueError, "derivative has length 1, U has 2 columns"),
        ((U2, MI2, [[1, 0]]), ValueError, "derivative must be 1-D, not 2-D"),
        ((U2, MI2, [0, -2]), ValueError, "derivative holds a negative order"),
        ((np.where(U2 > 0.5, np.nan, U2), MI2), ValueError, "U holds NaN or infinity"),
        ((np.r_[U2, [[np.inf, 0.0]]], MI2), ValueError, "U holds NaN or infinity"),
        ((U2, MI2 + 0.5), TypeError, "multi_indices must be an array of integers"),
        ((U2, MI2, [1.0, 0.0]), TypeError, "derivative must be an array of integers"),
        ((U2 + 0j, MI2), TypeError, "U is complex"),
    ],
)
def test_bad_arguments_are_refused(args, error, message):
    with pytest.raises(error, match=f"^legendre_rows: {message}"):
        kn.legendre_rows(*args)


CHILD = """
import sys
import numpy as np
from zorp._native import _kernels as kn

rng = np.random.default_rng(3)
n, D, p = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
U = rng.uniform(-1.1, 1.1, (n, D))
mi = np.stack(np.meshgrid(*[np.arange(p + 1)] * D, indexing="ij"), -1).reshape(-1, D)
sys.stdout.write(kn.legendre_rows(U, mi, derivative=[1] + [0] * (D - 1)).tobytes().hex())
"""


@pytest.mark.parametrize(("n", "D", "p"), [(20_011, 2, 15), (50_001, 1, 100)])
def test_rows_do_not_depend_on_the_thread_count(child_output, n, D, p):
    one, two, three = (child_output(CHILD, t, n, D, p) for t in (1, 2, 3))
    assert one == two == three
