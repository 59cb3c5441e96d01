"""zorp: smooth, robust polynomial regression with a fast C++ core."""

from zorp._native import zorp_core
from zorp._native.zorp_core import compute_sr, mad

__version__ = "0.1.0"

__all__ = [
    "__version__",
    "compute_sr",
    "mad",
    "zorp_core",
]
