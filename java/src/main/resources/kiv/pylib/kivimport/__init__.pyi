"""Type stubs of kivimport: Java packages and classes as Python modules."""

import types
from importlib.machinery import ModuleSpec
from typing import Any, Sequence

__all__ = ['JavaPackage', 'JavaFinder', 'install', 'is_java_class']

class JavaPackage(types.ModuleType):
    """A Java package as a module: its classes and subpackages are attributes."""
    def __getattr__(self, name: str) -> Any: ...
    def __dir__(self) -> list[str]: ...

class JavaFinder:
    """The sys.meta_path finder for Java packages and classes."""
    @classmethod
    def find_spec(cls, fullname: str, path: Sequence[str] | None = ...,
                  target: types.ModuleType | None = ...) -> ModuleSpec | None: ...
    @classmethod
    def invalidate_caches(cls) -> None: ...

def is_java_class(obj: object) -> bool: ...
def install(loader: Any = ...) -> None: ...
