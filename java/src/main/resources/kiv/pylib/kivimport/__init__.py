"""Java packages and classes as Python modules.

Kiv installs this in every interpreter it makes, so that Python code imports Java as it
imports Python::

    import java.util
    from java.util import ArrayList, HashMap
    from java.lang import Math
    from java.util.Map import Entry      # a nested class, also java.util.Map.Entry
    from com.example.app import Service  # the application's classes

A Java package becomes a module whose attributes are its classes and subpackages, found
on first use; a Java class imported by its full name is the class itself.  Classes come
from the class loader of the interpreter that imports (the one _kiv.forName uses), and
packages from what that loader sees (see kiv.internal.JavaPackages).

A Python module or regular package of the same name wins, and names under a Python
package are never looked up in Java.  So `com`, `org` or `io` stay Python's where Python
has them (the standard library's `io` always does); use _kiv.forName for classes such
names hide.  A namespace package (a folder without __init__.py on sys.path, such as a
project's java/ folder) yields to a Java package of its name, and its modules stay
importable under it.  A name that is neither a Java class nor a
Java package raises ImportError (ModuleNotFoundError from import).
"""

import sys
from _thread import _local
from _frozen_importlib import ModuleSpec          # importlib.machinery's, without importing it
from _frozen_importlib_external import PathFinder

import _kiv

__all__ = ['JavaPackage', 'JavaFinder', 'install', 'is_java_class']

_PyJClass = type(_kiv.findClass('java.lang.Object'))
_Packages = _kiv.findClass('kiv.internal.JavaPackages')

# Per binding (each has its own thread state): the interpreter's class loader.
_binding = _local()


def is_java_class(obj):
    """Whether obj is the Python object of a Java class."""
    return isinstance(obj, _PyJClass)


def _find_class(name):
    """The Java class with this binary name ('a.b.C' or 'a.b.C$D'), or None."""
    try:
        return _kiv.forName(name)
    except ImportError:
        return None
    except RuntimeError:
        # A thread with no Kiv binding of its own (one Python started): the loader of
        # the kiv classes.
        try:
            return _kiv.findClass(name)
        except Exception:
            return None
    except Exception:
        # A class that exists but cannot be loaded (NoClassDefFoundError and the like)
        # is no class to import.
        return None


def _is_package(name):
    try:
        return bool(_Packages.isPackage(getattr(_binding, 'loader', None), name))
    except Exception:
        return False


class JavaPackage(type(sys)):
    """A Java package as a module: its classes and subpackages are attributes."""

    def __getattr__(self, name):
        if name.startswith('__') or not name.isidentifier():
            raise AttributeError(name)
        full = self.__name__ + '.' + name
        cls = _find_class(full)
        if cls is not None:
            setattr(self, name, cls)
            return cls
        if _is_package(full):
            __import__(full)
            return sys.modules[full]
        raise AttributeError('Java package %r has no class or package %r' % (self.__name__, name))

    def __dir__(self):
        return sorted(self.__dict__)

    def __repr__(self):
        return '<Java package %r>' % self.__name__


class _Loader:
    """Makes the module of a Java package, or hands over the class itself."""

    def __init__(self, cls=None):
        self.cls = cls

    def create_module(self, spec):
        return self.cls if self.cls is not None else JavaPackage(spec.name)

    def exec_module(self, module):
        pass


class JavaFinder:
    """The sys.meta_path finder for Java packages and classes.  It sits just before
    Python's path finder and yields to it wherever Python has a module or a regular
    package of the name; a Java package shadows only a namespace package (a folder
    without __init__.py, like a project's java/ folder), whose modules stay importable
    through the Java package's __path__."""

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        parent_name, _, name = fullname.rpartition('.')
        if not name.isidentifier():
            return None
        if parent_name:
            if not isinstance(sys.modules.get(parent_name), JavaPackage):
                return None  # under a Python package: not Java's
        elif not _is_package(fullname):
            return None
        python = PathFinder.find_spec(fullname, path) if path is None or path else None
        if python is not None and python.origin is not None:
            return None  # Python's own module or package comes first
        if parent_name:
            found = _find_class(fullname)
            if found is not None:
                return ModuleSpec(fullname, _Loader(found))
            if not _is_package(fullname):
                return None
        spec = ModuleSpec(fullname, _Loader(), is_package=True)
        if python is not None and python.submodule_search_locations:
            spec.submodule_search_locations = list(python.submodule_search_locations)
        return spec

    @classmethod
    def invalidate_caches(cls):
        pass


def install(loader=None):
    """Puts the finder in sys.meta_path, just before Python's path finder, once per
    interpreter, and makes loader the class loader this binding finds packages with
    (None: the loader of the kiv classes).  Kiv calls this for every interpreter it
    makes."""
    _binding.loader = loader
    if JavaFinder not in sys.meta_path:
        try:
            sys.meta_path.insert(sys.meta_path.index(PathFinder), JavaFinder)
        except ValueError:
            sys.meta_path.append(JavaFinder)
