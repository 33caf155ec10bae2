"""Loads ``drelix_binary._engine``, which lives in the same shared object as ``_native``.

One shared object carries both extension modules so that they share their exception classes
and conversions; the import system only looks for ``_engine`` under its own file name, so it
is loaded here from ``_native``'s file, once, by whichever module asks first.
"""

from __future__ import annotations

import sys
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_file_location
from types import ModuleType

from . import _native


def load_engine() -> ModuleType:
    name = __package__ + "._engine"
    module = sys.modules.get(name)
    if module is None:
        loader = ExtensionFileLoader(name, _native.__file__)
        spec = spec_from_file_location(name, _native.__file__, loader=loader)
        assert spec is not None
        module = module_from_spec(spec)
        loader.exec_module(module)
        sys.modules[name] = module
    return module
