"""Type stubs of _kiv, the module Kiv makes in every interpreter it runs.

Java objects appear in Python as objects of per-class types; they are typed as Any here.
"""

from typing import Any, Callable, Literal, Sequence

JBOOLEAN_ID: Literal['z']
JBYTE_ID: Literal['b']
JCHAR_ID: Literal['c']
JSHORT_ID: Literal['s']
JINT_ID: Literal['i']
JLONG_ID: Literal['j']
JFLOAT_ID: Literal['f']
JDOUBLE_ID: Literal['d']
KIV_NUMPY_ENABLED: int

# The Python types made for Java classes so far, by class.
__javaTypeCache__: dict[Any, type]

# Only in sub-interpreters made with publishMainModules: the main interpreter's
# sys.modules and the lock to hold while using it.
mainInterpreterModules: dict[str, Any]
mainInterpreterModulesLock: Any

def findClass(name: str, /) -> Any:
    """The Java class of a dotted name ('java.util.ArrayList'), found through the loader
    of the Kiv classes.  A missing class raises the translated ClassNotFoundException
    (an ImportError)."""

def forName(name: str, /) -> Any:
    """The Java class of a binary name ('java.util.Map$Entry') found through the class
    loader of this interpreter (KivConfig.setClassLoader)."""

def jarray(size: int | Sequence[Any], type: str | Any, fill: Any = ..., /) -> Any:
    """A new Java array: of a primitive type code (JINT_ID, ...) or of a Java class."""

def jproxy(obj: Any, interfaces: Sequence[Any | str], /) -> Any:
    """A Java proxy that implements the interfaces by calling obj's methods."""

def setJavaToPythonConverter(target: Any, converter: Callable[[Any], Any] | None, /) -> None:
    """Converts every Java object of the class (or Python type) target, and its
    subclasses, with converter from now on in this interpreter; None removes it."""
