"""The Python half of the kiv command: running a script, a module or a string as
__main__, the interactive console's line handling and completion, and the exit steps
python takes before it ends.  The Java half (kiv.Main, kiv.Console) reads the lines and
owns the process; everything here runs in the main interpreter."""

import code
import os
import sys

__all__ = ['run_main', 'finish', 'exit_status', 'Console', 'add_environment_note']


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


def run_main(mode, arg, interactive=False):
    """Runs a script file ('file'), a module ('module'), a string ('code') or standard
    input ('stdin') as __main__ ('console' only prepares sys.path).  Returns 0 when it
    ran through.  A Python error is printed; then, unless interactive, the process leaves
    through SystemExit(1).  A SystemExit the code raised ends the process with its
    status.  Interactive runs return 1 after an error, for the console to go on."""
    import runpy
    main = sys.modules['__main__']
    g = main.__dict__
    try:
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
            exec(compile(source, path, 'exec'), g)
        elif mode == 'module':
            sys.path.insert(0, os.getcwd())
            _require_module(arg)
            # As python -m: the module becomes __main__ and sys.argv[0] its file.
            runpy._run_module_as_main(arg, alter_argv=True)
        elif mode == 'code':
            sys.path.insert(0, '')
            exec(compile(arg, '<string>', 'exec'), g)
        elif mode == 'console':
            sys.path.insert(0, '')
        else:
            sys.path.insert(0, '')
            exec(compile(sys.stdin.buffer.read(), '<stdin>', 'exec'), g)
        status = 0
    except SystemExit as e:
        # Ends the process, interactive or not (python -i exits too).
        status = exit_status(e)
        finish(status)
        if interactive:
            raise SystemExit(0)
        return 0
    except BaseException as e:
        _report(e, run_main.__code__)
        if interactive:
            return 1
        status = 1
    if interactive:
        return status
    finish(status)
    return 0


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
    """What python does before it exits: wait for non-daemon threads, run the atexit
    functions, flush.  Leaves through SystemExit when the status is not 0."""
    try:
        threading = sys.modules.get('threading')
        if threading is not None:
            me = threading.current_thread()
            for t in threading.enumerate():
                if t is not me and t is not threading.main_thread() and not t.daemon:
                    t.join()
        import atexit
        run_exitfuncs = getattr(atexit, '_run_exitfuncs', None)
        if run_exitfuncs is not None:
            run_exitfuncs()
    except SystemExit as e:
        status = exit_status(e)
    except BaseException as e:
        sys.excepthook(type(e), e, e.__traceback__)
        status = status or 1
    _flush()
    if status:
        raise SystemExit(status)


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
