"""Native kernels for many target columns fitted on one design."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

def column_mads(Y: ArrayLike) -> NDArray[np.float64]: ...
def column_hit_counts(
    Phi: ArrayLike, Y: ArrayLike, coef: ArrayLike, eps: ArrayLike
) -> NDArray[np.int64]: ...
