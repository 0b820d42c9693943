"""Lazy imports of the optional dependencies, each named after its extra.

The core install needs only NumPy; pandas, Dask and matplotlib are imported
on first use so that ``import morva`` works without them.
"""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Imports ``module`` or raises an ImportError saying which extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{feature} needs the optional dependency '{module}'; install it with: pip install 'morva[{extra}]'"
        ) from error
