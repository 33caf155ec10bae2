"""Append-only record files: the drelix container format.

Everything lives in the compiled module ``drelix_binary._native``.
"""

from . import _native
from ._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__version__ = _native.__version__
