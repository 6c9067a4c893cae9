"""The solving service for zox: an HTTPS service that solves complete subset sum problems.

Run it with ``python -m zox_service`` (``--help`` lists the options).
"""

__version__ = "0.1.0"
