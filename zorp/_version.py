"""The installed package's version."""

from importlib.metadata import PackageNotFoundError, version

try:
    # The one place the version is written is the package metadata (pyproject.toml).
    __version__: str = version("zorp")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
