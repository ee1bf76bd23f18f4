# Python code calling Java: the same loops in every bridge, Python 2.7 (Jython) and 3.
#
# A bridge gives run() a function that finds a Java class by its dotted name. The timing
# is Harness.java's, written again in Python: the batch size doubles until one batch takes
# batch_ns, the loop runs warmup_ns more, and the median of five timed batches divided by
# the batch size is the figure. run() prints "START <key>" before each operation and
# "RESULT <key> <ns per op>" (or "FAIL <key> <why>") after it, on standard output; run.sh
# uses the START lines to find an operation that brought the process down.
import sys
import time

try:
    xrange
except NameError:
    xrange = range

BATCHES = 5
WORK = "s = 0\nfor i in range(200000): s += i"


def _clock():
    if hasattr(time, "perf_counter_ns"):
        return time.perf_counter_ns
    from java.lang import System  # Jython 2.7: no perf_counter
    return System.nanoTime


now = _clock()


def _time(op, n):
    start = now()
    op(n)
    return now() - start


def measure(op, batch_ns, warmup_ns):
    n = 1
    while _time(op, n) < batch_ns and n < (1 << 30):
        n *= 2
    end = now() + warmup_ns
    while now() < end:
        op(n)
    batches = sorted(_time(op, n) for _ in xrange(BATCHES))
    return float(batches[BATCHES // 2]) / n


def loops(jclass, int_arg=1, list_class="java.util.ArrayList", set_field=None):
    """The operations, as (key, op) pairs; op(n) does the operation n times."""
    ArrayList = jclass("java.util.ArrayList")
    Math = jclass("java.lang.Math")
    Integer = jclass("java.lang.Integer")
    StringBuilder = jclass("java.lang.StringBuilder")
    Point = jclass("java.awt.Point")
    lst = jclass(list_class)()
    lst.add(1)
    plist = [1]
    point = Point()

    def python_len(n):
        l = plist
        for _ in xrange(n):
            l.__len__()

    def size(n):
        l = lst
        for _ in xrange(n):
            l.size()

    def math_abs(n):
        m = Math
        v = -1.5
        for _ in xrange(n):
            m.abs(v)

    def new_object(n):
        c = ArrayList
        for _ in xrange(n):
            c()

    def static_field(n):
        c = Integer
        for _ in xrange(n):
            c.MAX_VALUE

    def field_write(n):
        p = point
        for i in xrange(n):
            p.x = i

    if set_field is not None:
        def field_write(n):  # noqa: F811 (for bridges where p.x = i binds a Python attribute)
            p = point
            s = set_field
            for i in xrange(n):
                s(p, "x", i)

    def append_twice(n):
        b = StringBuilder()
        a = int_arg
        for _ in xrange(n):
            b.append(a).append(a)

    # Each loop's operation once, checked, so that no figure times something else.
    field_write(8)
    b = StringBuilder()
    b.append(int_arg).append(int_arg)
    got = (lst.size(), Math.abs(-1.5), Integer.MAX_VALUE, point.getX(), str(b.toString()))
    if got != (1, 1.5, 2147483647, 7.0, "11"):
        raise AssertionError("wrong answers from Java: %r" % (got,))
    return [("py_len", python_len), ("size", size), ("abs", math_abs), ("new", new_object),
            ("static_field", static_field), ("field_write", field_write),
            ("append2", append_twice)]


def threads(batch_ns, warmup_ns):
    """Two Python threads of pure-Python work in this one interpreter, as Harness.threads."""
    import threading

    step = threading.Barrier(3)
    runs = [0]
    failure = []

    def work():  # exec is a statement in Python 2: compile and eval read alike in both
        eval(compile(WORK, "<work>", "exec"), {})

    def body(slot):
        try:
            end = now() + warmup_ns
            while now() < end:
                work()
            step.wait()
            if slot == 0:
                begin = now()
                k = 0
                while now() - begin < BATCHES * batch_ns or k < 3:
                    work()
                    k += 1
                runs[0] = k
            step.wait()
            for _ in range(3):
                step.wait()
                if slot == 0:
                    for _ in range(runs[0]):
                        work()
                step.wait()
                step.wait()
                for _ in range(runs[0]):
                    work()
                step.wait()
        except threading.BrokenBarrierError:
            pass
        except Exception as e:
            failure.append(e)
            step.abort()

    ts = [threading.Thread(target=body, args=(i,)) for i in range(2)]
    for t in ts:
        t.start()
    alone = []
    together = []
    try:
        step.wait()
        step.wait()
        for _ in range(3):
            step.wait()
            begin = now()
            step.wait()
            alone.append(now() - begin)
            step.wait()
            begin = now()
            step.wait()
            together.append(now() - begin)
    except threading.BrokenBarrierError:
        for t in ts:
            t.join()
        raise failure[0] if failure else RuntimeError("a worker thread stopped")
    alone.sort()
    together.sort()
    return float(alone[1]) / runs[0], 2.0 * alone[1] / together[1]


def _emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def _why(e):
    return " ".join(("%s: %s" % (type(e).__name__, e)).split())[:160]


def run(jclass, batch_ns, warmup_ns, int_arg=1, list_class="java.util.ArrayList",
        set_field=None, with_threads=False, skip=""):
    """Runs and reports every operation whose key is not in skip (comma-separated)."""
    skip = set(k for k in skip.split(",") if k)
    try:
        ops = loops(jclass, int_arg, list_class, set_field)
    except Exception as e:
        _emit("FAIL py2j " + _why(e))
        return
    for key, op in ops:
        if key in skip:
            continue
        _emit("START " + key)
        try:
            _emit("RESULT %s %r" % (key, measure(op, batch_ns, warmup_ns)))
        except Exception as e:
            _emit("FAIL %s %s" % (key, _why(e)))
    if with_threads and "threads2" not in skip:
        _emit("START threads2")
        try:
            per_run, speed_up = threads(batch_ns, warmup_ns)
            _emit("RESULT work1 %r" % (per_run,))
            _emit("RESULT threads2 %r" % (speed_up,))
        except Exception as e:
            _emit("FAIL threads2 " + _why(e))
