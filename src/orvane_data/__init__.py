"""Market-data access for quantitative research."""
from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("orvane_data")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
del PackageNotFoundError, version
