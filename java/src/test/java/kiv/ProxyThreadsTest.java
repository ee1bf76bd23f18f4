package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.TreeSet;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

import kiv.python.PyCallable;
import kiv.python.PyObject;
import kivtest.ProxyFixture;

/**
 * Python objects and proxies used from threads other than their interpreter's owner:
 * executors, Python's own threads, several interpreters at once, and closing.
 */
class ProxyThreadsTest {
    private static final int CALLS = 10_000;

    /** A Callable proxy whose calls hand out 0, 1, 2, ... (each number once). */
    private static final String TICKETS = String.join("\n",
            "import itertools, _kiv",
            "tickets = itertools.count()",
            "class Ticket:",
            "    def call(self):",
            "        return next(tickets)",
            "ticket = _kiv.jproxy(Ticket(), ['java.util.concurrent.Callable'])",
            "");

    /** Python code that calls Java, for the owner to run meanwhile. */
    private static final String BUSY = String.join("\n",
            "import _kiv",
            "ArrayList = _kiv.findClass('java.util.ArrayList')",
            "def busy(rounds):",
            "    total = 0",
            "    for i in range(rounds):",
            "        lst = ArrayList()",
            "        lst.add(i)",
            "        total += lst.size() + lst.get(0)",
            "    return total",
            "");

    static ExecutorService pool(int threads) {
        return Executors.newFixedThreadPool(threads);
    }

    static void stop(ExecutorService pool) throws InterruptedException {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(30, TimeUnit.SECONDS), "pool threads ended");
    }

    static Throwable thrownOnAnotherThread(Runnable r) throws Exception {
        return PythonObjectTest.thrownOnAnotherThread(r);
    }

    @SuppressWarnings("unchecked")
    static Callable<Object> callable(Interpreter py, String name) {
        return py.getValue(name, Callable.class);
    }

    /** The numbers the futures gave, which must be 0 .. n-1, each once. */
    static void assertTickets(List<Future<Object>> futures, int n) throws Exception {
        TreeSet<Long> seen = new TreeSet<>();
        for (Future<Object> f : futures) {
            seen.add((Long) f.get());
        }
        assertEquals(n, seen.size(), "every call got its own ticket");
        assertEquals(0L, seen.first());
        assertEquals(n - 1L, seen.last());
    }

    @ParameterizedTest(name = "isolated sub-interpreter: {0}")
    @ValueSource(booleans = {true, false})
    void eightThreadsCallAProxyWhileTheOwnerRunsPythonThatCallsJava(boolean isolated) throws Exception {
        try (Interpreter py = isolated ? new SubInterpreter() : new SharedInterpreter()) {
            py.exec(TICKETS + BUSY);
            Callable<Object> ticket = callable(py, "ticket");
            ExecutorService callers = pool(8);
            try {
                List<Future<Object>> futures = new ArrayList<>();
                for (int i = 0; i < CALLS; i++) {
                    futures.add(callers.submit(ticket));
                }
                int rounds = 0;
                while (!futures.stream().allMatch(Future::isDone)) {
                    assertEquals(200L + 199L * 200 / 2, py.invoke("busy", 200));
                    rounds++;
                }
                assertTickets(futures, CALLS);
                assertTrue(rounds > 0, "the owner ran Python meanwhile");
            } finally {
                stop(callers);
            }
            py.exec("assert next(tickets) == " + CALLS);
        }
    }

    /**
     * Each of two isolated sub-interpreters lets a thread of its own pool spin in a proxy
     * call, never giving up its interpreter lock (the switch interval is a minute), until
     * it sees the other's mark; only interpreters that run at once get there. Then both
     * serve 10,000 calls from four threads each.
     */
    @Test
    void proxiesOfTwoIsolatedSubInterpretersRunAtOnce(@TempDir Path dir) throws Exception {
        Path flags = dir.resolve("flags");
        Files.write(flags, new byte[2]);
        ExecutorService owners = pool(2);
        try {
            assertTimeoutPreemptively(Duration.ofSeconds(60), () -> {
                Future<?> a = owners.submit(() -> serveBothWays(flags, 0, 1));
                Future<?> b = owners.submit(() -> serveBothWays(flags, 1, 0));
                a.get();
                b.get();
            });
        } finally {
            stop(owners);
        }
    }

    private static Void serveBothWays(Path flags, int me, int other) throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            py.exec(TICKETS + String.join("\n",
                    "import mmap, sys",
                    "sys.setswitchinterval(60)",
                    "with open(" + Py.lit(flags.toString()) + ", 'r+b') as f:",
                    "    marks = mmap.mmap(f.fileno(), 2)",
                    "class Meet:",
                    "    def call(self):",
                    "        marks[" + me + "] = 1",
                    "        spins = 0",
                    "        while marks[" + other + "] == 0:",
                    "            spins += 1",
                    "        return spins",
                    "meet = _kiv.jproxy(Meet(), ['java.util.concurrent.Callable'])",
                    ""));
            ExecutorService callers = pool(4);
            try {
                Future<Object> met = callers.submit(callable(py, "meet"));
                Callable<Object> ticket = callable(py, "ticket");
                List<Future<Object>> futures = new ArrayList<>();
                for (int i = 0; i < CALLS; i++) {
                    futures.add(callers.submit(ticket));
                }
                met.get();
                assertTickets(futures, CALLS);
            } finally {
                stop(callers);
            }
            py.exec("marks.close()");
        }
        return null;
    }

    @Test
    void pythonObjectsWorkOnOtherThreads() throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            py.exec(String.join("\n",
                    "class P:",
                    "    def __init__(self, x):",
                    "        self.x = x",
                    "    def __str__(self):",
                    "        return 'P(%d)' % self.x",
                    "    def __eq__(self, other):",
                    "        return isinstance(other, P) and other.x == self.x",
                    "    def __hash__(self):",
                    "        return self.x * 7",
                    "    def scaled(self, k):",
                    "        return P(self.x * k)",
                    "p, q = P(6), P(6)",
                    ""));
            PyObject p = py.getValue("p", PyObject.class);
            PyObject q = py.getValue("q", PyObject.class);
            PyCallable scaled = p.getAttr("scaled", PyCallable.class);
            ExecutorService callers = pool(4);
            try {
                List<Future<String>> results = new ArrayList<>();
                for (int i = 0; i < 400; i++) {
                    final long k = i;
                    results.add(callers.submit(() -> {
                        assertEquals("P(6)", p.toString());
                        assertTrue(p.equals(q));
                        assertFalse(p.equals(null));
                        assertEquals(42, p.hashCode());
                        assertEquals(6L, p.getAttr("x"));
                        try (PyObject r = scaled.callAs(PyObject.class, k)) {
                            assertEquals(6L * k, r.getAttr("x", Long.class));
                            r.setAttr("tag", "t" + k);
                            assertEquals("P(" + 6 * k + ")", r.toString());
                        }
                        return "ok";
                    }));
                }
                for (Future<String> f : results) {
                    assertEquals("ok", f.get());
                }
            } finally {
                stop(callers);
            }
            Py.check(py, "p.x == 6 and not hasattr(p, 'tag')");
        }
    }

    @Test
    void pythonThreadsCallProxiesOfTheirOwnInterpreter() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec(String.join("\n",
                    "import threading, _kiv",
                    "F = _kiv.findClass('kivtest.ProxyFixture')",
                    "lock = threading.Lock()",
                    "count = 0",
                    "class Bump:",
                    "    def run(self):",
                    "        global count",
                    "        with lock:",
                    "            count += 1",
                    "bump = _kiv.jproxy(Bump(), ['java.lang.Runnable'])",
                    "def work():",
                    "    for _ in range(250):",
                    "        F.runIt(bump)",
                    "threads = [threading.Thread(target=work) for _ in range(4)]",
                    "for t in threads:",
                    "    t.start()",
                    "for t in threads:",
                    "    t.join()",
                    ""));
            Py.check(py, "count == 1000");
        }
    }

    @Test
    void afterCloseEveryCallThrowsOnEveryThread() throws Exception {
        Interpreter py = new SubInterpreter();
        py.exec("import _kiv\nclass R:\n    def run(self):\n        pass\nr = _kiv.jproxy(R(), ['java.lang.Runnable'])");
        Runnable r = py.getValue("r", Runnable.class);
        PyObject o = py.getValue("object()", PyObject.class);
        assertNull(thrownOnAnotherThread(r));
        assertNull(thrownOnAnotherThread(o::toString));
        py.close();
        for (Runnable use : List.<Runnable>of(r, r::toString, o::hashCode, () -> o.getAttr("x"), o::iterator)) {
            KivException here = assertThrows(KivException.class, use::run);
            assertTrue(here.getMessage().contains("closed"), here.getMessage());
            Throwable there = thrownOnAnotherThread(use);
            assertTrue(there instanceof KivException && there.getMessage().contains("closed"), String.valueOf(there));
        }
        // toString says so instead of throwing, on every thread
        assertEquals("<kiv.python.PyObject of a closed interpreter>", o.toString());
        AtomicReference<String> there = new AtomicReference<>();
        assertNull(thrownOnAnotherThread(() -> there.set(o.toString())));
        assertEquals(o.toString(), there.get());
        assertNull(thrownOnAnotherThread(o::close));
    }

    @Test
    void closeWhileAnotherThreadIsInsideAProxyCallIsRefused() throws Exception {
        Interpreter py = new SubInterpreter();
        py.exec(String.join("\n",
                "import threading, _kiv",
                "entered, release = threading.Event(), threading.Event()",
                "class Slow:",
                "    def run(self):",
                "        entered.set()",
                "        release.wait(30)",
                "slow = _kiv.jproxy(Slow(), ['java.lang.Runnable'])",
                ""));
        Runnable slow = py.getValue("slow", Runnable.class);
        PyObject kept = py.getValue("[1, 2, 3]", PyObject.class);
        ExecutorService caller = pool(1);
        try {
            Future<?> inside = caller.submit(slow);
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
            while (!py.getValue("entered.is_set()", Boolean.class) && System.nanoTime() < deadline) {
                Thread.sleep(5);
            }
            KivException busy = assertThrows(KivException.class, py::close);
            assertTrue(busy.getMessage().contains("another thread"), busy.getMessage());
            assertFalse(((Kiv) py).isClosed());
            assertEquals("[1, 2, 3]", kept.toString(), "nothing was released");
            py.exec("release.set()");
            inside.get(20, TimeUnit.SECONDS);
            py.exec("entered.clear()\nrelease.clear()\nrelease.set()");
            slow.run();
            Py.check(py, "entered.is_set()");
        } finally {
            stop(caller);
        }
        py.close();
        assertTrue(((Kiv) py).isClosed());
    }

    /** Releasing a Python object while other threads use it ends their calls cleanly. */
    @Test
    void closingAPythonObjectWhileOtherThreadsUseItIsClean() throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("class C:\n    def __str__(self):\n        return 'c' * 100\n    def f(self, x):\n        return [x] * 3");
            ExecutorService users = pool(3);
            try {
                for (int round = 0; round < 100; round++) {
                    PyObject c = py.getValue("C()", PyObject.class);
                    PyCallable f = c.getAttr("f", PyCallable.class);
                    AtomicBoolean stop = new AtomicBoolean();
                    AtomicInteger calls = new AtomicInteger();
                    List<Future<Throwable>> ends = new ArrayList<>();
                    for (int t = 0; t < 2; t++) {
                        ends.add(users.submit(() -> {
                            try {
                                while (!stop.get()) {
                                    String text = c.toString();  // says so once released
                                    assertTrue(text.length() == 100 || text.equals("<kiv.python.PyObject released>"),
                                            text);
                                    assertEquals(3, ((List<?>) f.call(c)).size());  // c converted back to Python
                                    calls.incrementAndGet();
                                }
                                return null;
                            } catch (Throwable e) {
                                return e;
                            }
                        }));
                    }
                    Future<?> closer = users.submit(() -> {
                        while (calls.get() < 20) {
                            Thread.onSpinWait();
                        }
                        c.close();
                        f.call(1);
                        f.close();
                        stop.set(true);
                        return null;
                    });
                    closer.get(20, TimeUnit.SECONDS);
                    for (Future<Throwable> end : ends) {
                        Throwable e = end.get(20, TimeUnit.SECONDS);
                        assertTrue(e == null || e instanceof KivException && e.getMessage().contains("released"),
                                String.valueOf(e));
                    }
                }
            } finally {
                stop(users);
            }
            py.exec("assert str(C()) == 'c' * 100");
        }
    }

    @Test
    void aPythonObjectIsRefusedByAnotherInterpreter() throws Exception {
        try (Interpreter b = new SubInterpreter()) {
            Interpreter a = new SubInterpreter();
            a.exec("import _kiv\nclass R:\n    def run(self):\n        pass\nr = _kiv.jproxy(R(), ['java.lang.Runnable'])\no = object()");
            PyObject fromA = a.getValue("o", PyObject.class);
            Runnable proxyOfA = a.getValue("r", Runnable.class);
            b.exec(String.join("\n",
                    "import _kiv",
                    "F = _kiv.findClass('kivtest.ProxyFixture')",
                    "def ident(x):",
                    "    return x",
                    "def held_error():",
                    "    try:",
                    "        F.held()",
                    "    except TypeError as e:",
                    "        return str(e)",
                    ""));
            try {
                for (Object foreign : List.of(fromA, proxyOfA)) {
                    KivException set = Py.raises(() -> b.set("x", foreign));
                    assertTrue(set.getMessage().contains("belongs to another Python interpreter"), set.getMessage());
                    Py.raises(() -> b.invoke("ident", foreign));
                    ProxyFixture.hold(foreign);
                    assertTrue(((String) b.invoke("held_error")).contains("another Python interpreter"));
                }
                Py.check(b, "'x' not in globals()");
                assertFalse(fromA.equals(b.getValue("object()", PyObject.class)));
                a.close();
                // The objects of A are gone with it; B still refuses them, and nothing crashes.
                Py.raises(() -> b.set("x", fromA));
                Py.raises(proxyOfA::run);
                Py.raises(() -> fromA.getAttr("x"));
                assertEquals("<kiv.python.PyObject of a closed interpreter>", fromA.toString());
                ProxyFixture.hold(fromA);
                assertTrue(((String) b.invoke("held_error")).contains("another Python interpreter"));
                b.exec("y = 1");
            } finally {
                ProxyFixture.hold(null);
                a.close();
            }
        }
    }

    @Test
    void bindingsOfOneInterpreterShareItsObjects() {
        try (SharedInterpreter a = new SharedInterpreter(); SharedInterpreter b = new SharedInterpreter()) {
            a.exec("o = [1]");
            try (PyObject o = a.getValue("o", PyObject.class)) {
                b.set("o", o);
                b.exec("o.append(2)");
                Py.check(a, "o == [1, 2]");
            }
        }
        try (SubInterpreter base = new SubInterpreter(); SharedInterpreter child = new SharedInterpreter(base, false)) {
            base.exec("o = {'k': 1}");
            try (PyObject o = base.getValue("o", PyObject.class)) {
                child.set("o", o);
                Py.check(child, "o == {'k': 1}");
            }
        }
    }
}
