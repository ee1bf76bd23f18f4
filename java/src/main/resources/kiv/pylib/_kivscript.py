"""The Python half of Kiv's javax.script engine (kiv.script.KivScriptEngine): running
scripts in one namespace and reporting the value of the last expression."""

import ast
import sys

__all__ = ['Runner']


class _JavaWriter:
    """A text stream that writes to a java.io.Writer."""

    def __init__(self, writer):
        self._writer = writer

    def write(self, text):
        self._writer.write(text)
        return len(text)

    def flush(self):
        self._writer.flush()

    def writable(self):
        return True


class Compiled:
    """A compiled script: its statements, and apart its last one when that is an
    expression, whose value a run returns."""

    def __init__(self, body, last):
        self.body = body
        self.last = last


class Runner:
    """Runs the scripts of one engine in the namespace it was made with."""

    def __init__(self, namespace):
        self.namespace = namespace

    def compile(self, source, filename):
        """Compiles a script (see Compiled)."""
        tree = ast.parse(source, filename, 'exec')
        last = None
        if tree.body and isinstance(tree.body[-1], ast.Expr):
            last = compile(ast.Expression(tree.body.pop().value), filename, 'eval')
        return Compiled(compile(tree, filename, 'exec'), last)

    def run(self, compiled, out=None, err=None):
        """Runs a compiled script; returns the value of its last expression, or None.
        out and err, when given, are java.io.Writers that take sys.stdout and
        sys.stderr meanwhile."""
        body, last = compiled.body, compiled.last
        saved = sys.stdout, sys.stderr
        if out is not None:
            sys.stdout = _JavaWriter(out)
        if err is not None:
            sys.stderr = _JavaWriter(err)
        try:
            exec(body, self.namespace)
            return eval(last, self.namespace) if last is not None else None
        finally:
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except Exception:
                    pass
            sys.stdout, sys.stderr = saved

    def snapshot(self):
        """The namespace's values as they are, to tell later what a script changed."""
        return _Snapshot(self.namespace)

    def changes(self, before):
        """The names bound anew or rebound since the snapshot, and those removed."""
        now = self.namespace
        old = before.values
        changed = [k for k, v in now.items() if _visible(k) and (k not in old or old[k] is not v)]
        removed = [k for k in old if k not in now and _visible(k)]
        return changed, removed

    # The namespace as the engine's Bindings see it: without __dunder__ names.

    def keys(self):
        return [k for k in self.namespace if _visible(k)]

    def get(self, name):
        return self.namespace.get(name) if _visible(name) else None

    def contains(self, name):
        return _visible(name) and name in self.namespace

    def set(self, name, value):
        self.namespace[name] = value

    def remove(self, name):
        return self.namespace.pop(name, None) if _visible(name) else None

    def is_function(self, name):
        return callable(self.namespace.get(name))

    def call(self, name, *args):
        return self.namespace[name](*args)

    def call_method(self, obj, name, *args):
        return getattr(obj, name)(*args)

    def has_method(self, obj, name):
        return callable(getattr(obj, name, None))


class _Snapshot:
    def __init__(self, namespace):
        self.values = dict(namespace)


def _visible(name):
    return isinstance(name, str) and not (name.startswith('__') and name.endswith('__'))
