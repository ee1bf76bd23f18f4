"""The Python half of the kiv command: preparing a script, a module or a string to run
as __main__, what happens to an exception that ends it, the interactive console's line
handling and completion, and the exit steps python takes before it ends.  The Java
half (kiv.Main, kiv.Console) reads the lines and owns the process; everything here
runs in the main interpreter."""

import code
import os
import sys

__all__ = ['prepare', 'uncaught', 'finish', 'exit_interrupted', 'exit_status', 'Console',
           'add_environment_note']


def _flush():
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except Exception:
            pass


def exit_status(e):
    """The process status for a SystemExit, printing a non-integer code as python does."""
    status = e.code
    if status is None:
        return 0
    if isinstance(status, int):
        return status
    try:
        print(status, file=sys.stderr)
    except Exception:
        pass
    return 1


def add_environment_note(e):
    """Adds to a ModuleNotFoundError a note naming the Python environment Kiv uses and how
    to choose another; other exceptions are left alone.  Returns e."""
    if isinstance(e, ModuleNotFoundError) and not getattr(e, '_kiv_noted', False):
        try:
            e.add_note(environment_note())
            e._kiv_noted = True
        except Exception:
            pass
    return e


def environment_note():
    return ('Kiv runs the Python environment %s (%s); install the module there, or choose '
            'another Python with KIV_PYTHON or -Dkiv.python.executable'
            % (sys.prefix, sys.executable or 'no executable'))


def _report(e, skip_code):
    """Prints e as an uncaught exception, without the frames of skip_code at its top."""
    tb = e.__traceback__
    while tb is not None and tb.tb_frame.f_code is skip_code:
        tb = tb.tb_next
    e.__traceback__ = tb
    add_environment_note(e)
    _flush()
    sys.excepthook(type(e), e, tb)


def prepare(mode, arg, orig_argv=None):
    """Makes __main__ ready to run a script file ('file'), a module ('module'), a
    string ('code') or standard input ('stdin') as python does, and returns the call
    that runs it, as a tuple (function, *arguments) for _kiv._run_top (which the Java
    side calls, so that no frame of ours lies below the program's); None for 'console',
    which only prepares sys.path.  Leaves through SystemExit, with python's message,
    when there is nothing to run."""
    if orig_argv is not None:
        sys.orig_argv = list(orig_argv)
    main = sys.modules['__main__']
    g = main.__dict__
    if mode == 'file':
        path = os.path.abspath(arg)
        try:
            with open(arg, 'rb') as f:
                source = f.read()
        except OSError as e:
            print("kiv: can't open file %r: [Errno %s] %s" % (path, e.errno, e.strerror),
                  file=sys.stderr)
            _flush()
            raise SystemExit(2)
        sys.path.insert(0, os.path.dirname(os.path.realpath(arg)))
        g['__file__'] = path
        g['__cached__'] = None
        return _compiled(source, path, g)
    if mode == 'module':
        sys.path.insert(0, os.getcwd())
        _require_module(arg)
        import runpy
        # As python -m: the module becomes __main__ and sys.argv[0] its file.
        return (runpy._run_module_as_main, arg, True)
    sys.path.insert(0, '')
    if mode == 'code':
        return _compiled(arg, '<string>', g)
    if mode == 'console':
        return None
    return _compiled(sys.stdin.buffer.read(), '<stdin>', g)


def _compiled(source, filename, g):
    """The call that runs source in g: exec of its code object, whose frame is then the
    only one, or the compile error raised again."""
    try:
        return (exec, compile(source, filename, 'exec', dont_inherit=True), g)
    except BaseException as e:
        e.__traceback__ = None
        return (_reraise, e)


def _reraise(e):
    raise e


_interrupted = False


def uncaught(exc):
    """What python does with an exception that ends the program: the status of a
    SystemExit (printing a non-integer code), else the traceback through sys.excepthook
    and status 1.  Returns (status, whether the process ends even with -i).  A
    KeyboardInterrupt makes exit_interrupted end the process as python does."""
    global _interrupted
    if isinstance(exc, SystemExit):
        return exit_status(exc), True
    tb = exc.__traceback__
    # A compile error comes with the frame of _reraise only.
    while tb is not None and tb.tb_frame.f_code is _reraise.__code__:
        tb = tb.tb_next
    exc.__traceback__ = tb
    if isinstance(exc, KeyboardInterrupt):
        _interrupted = True
    sys.last_exc = sys.last_value = exc
    sys.last_type = type(exc)
    sys.last_traceback = tb
    add_environment_note(exc)
    _flush()
    try:
        sys.excepthook(type(exc), exc, tb)
    except BaseException as e:
        print('Error in sys.excepthook:', file=sys.stderr)
        sys.__excepthook__(type(e), e, e.__traceback__)
        print('\nOriginal exception was:', file=sys.stderr)
        sys.__excepthook__(type(exc), exc, tb)
    return 1, False


def _require_module(name):
    """Leaves with python's message, and the environment note, when name is not found."""
    import importlib.util
    try:
        found = importlib.util.find_spec(name) is not None
    except ImportError:
        found = False
    if not found:
        print('%s: No module named %s\n%s' % (sys.executable, name, environment_note()),
              file=sys.stderr)
        _flush()
        raise SystemExit(1)


def finish(status=0):
    """What python does before it exits, in its order: wait for the non-daemon threads
    (threading._shutdown, which first stops executors), run the atexit functions, flush
    the standard streams.  Returns the status to exit with."""
    threading = sys.modules.get('threading')
    if threading is not None:
        try:
            threading._shutdown()
        except BaseException as e:
            sys.unraisablehook(_Unraisable(e, 'Exception ignored on threading shutdown'))
    import atexit
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except Exception as e:
            if stream is sys.stdout:
                status = 120
            try:
                sys.unraisablehook(_Unraisable(e, 'Exception ignored on flushing sys.%s'
                                                  % ('stdout' if stream is sys.stdout else 'stderr')))
            except Exception:
                pass
    return status


class _Unraisable:
    def __init__(self, exc, message):
        self.exc_type = type(exc)
        self.exc_value = exc
        self.exc_traceback = exc.__traceback__
        self.err_msg = message
        self.object = None


def exit_interrupted():
    """After an uncaught KeyboardInterrupt: ends the process by SIGINT with its default
    action, as python does; returns the status to use if that did not end it."""
    if _interrupted:
        import signal
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGINT)
        except Exception:
            pass
        return 128 + 2
    return None


# What Console.push answers.
MORE = 'more'      # the statement goes on: prompt with '... '
DONE = 'done'      # ran (or reported its error): prompt with '>>> '
EXIT = 'exit'      # the code raised SystemExit: exit_code holds the status


class Console(code.InteractiveConsole):
    """Decides, line by line, when a statement is complete, exactly as python's own
    prompt does (codeop), runs it in __main__ and prints errors with their location."""

    def __init__(self):
        namespace = sys.modules['__main__'].__dict__
        super().__init__(namespace, '<stdin>')
        import rlcompleter
        self._completer = rlcompleter.Completer(namespace)
        self.exit_code = None

    def push(self, line):
        try:
            more = super().push(line)
        except SystemExit as e:
            self.resetbuffer()
            self.exit_code = exit_status(e)
            _flush()
            return EXIT
        _flush()
        return MORE if more else DONE

    def showtraceback(self):
        add_environment_note(sys.exc_info()[1])
        super().showtraceback()

    def complete(self, text):
        """Every completion rlcompleter offers for text (a name or a dotted path)."""
        matches = []
        state = 0
        try:
            while True:
                m = self._completer.complete(text, state)
                if m is None:
                    break
                if m not in matches:
                    matches.append(m)
                state += 1
        except Exception:
            pass
        return matches

    def interrupted(self):
        """Ctrl-C at the prompt: the line and any unfinished block are dropped."""
        self.resetbuffer()
        print('KeyboardInterrupt', file=sys.stderr)
        _flush()
