"""The solving service for zox: an HTTPS service that solves complete subset sum problems.

Run it with ``python -m zox_service`` (``--help`` lists the options).
"""

from importlib import metadata

# One version for the distribution: pyproject.toml, as installed.
try:
    __version__ = metadata.version("zox")
except metadata.PackageNotFoundError:  # run from a checkout that was never installed
    try:
        from zox import __version__
    except ImportError:
        __version__ = "unknown"
