package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/** Closing interpreters, and start-up being once per process. */
class LifecycleTest {

    @Test
    void closingASubInterpreterWaitsForItsPythonThreads() {
        Interpreter py = new SubInterpreter();
        py.exec("import threading, time\n"
                + "done = []\n"
                + "t = threading.Thread(target=lambda: (time.sleep(0.2), done.append(1)))\n"
                + "t.start()");
        py.close();
        assertTrue(((Kiv) py).isClosed());
    }

    /** A thread that does not end: close() gives up after its timeout, names it, changes nothing. */
    @Test
    void closeWaitsABoundedTimeAndLeavesTheInterpreterUsable() {
        Interpreter py = new SubInterpreter(new SubInterpreterOptions().setCloseTimeout(java.time.Duration.ofMillis(300)));
        py.exec("import threading, time\n"
                + "stop = threading.Event()\n"
                + "t = threading.Thread(target=stop.wait, name='st\u00fcck')\n"
                + "t.start()\n"
                + "from concurrent.futures import ThreadPoolExecutor\n"
                + "pool = ThreadPoolExecutor(2)\n"
                + "pool.submit(sum, [1, 2]).result()");
        kiv.python.PyObject kept = py.getValue("[1, 2]", kiv.python.PyObject.class);
        long start = System.nanoTime();
        KivException e = assertThrows(KivException.class, py::close);
        long waitedMillis = (System.nanoTime() - start) / 1_000_000;
        assertEquals("Cannot close the sub-interpreter: 1 non-daemon Python thread(s) still running after 0.3 s: "
                + "'st\u00fcck'", e.getMessage());
        assertTrue(waitedMillis >= 250 && waitedMillis < 5000, "waited " + waitedMillis + " ms");
        assertTrue(!((Kiv) py).isClosed());
        assertEquals("[1, 2]", kept.toString(), "Python objects handed out still work");
        py.exec("stop.set()\nt.join()");
        py.close();
        assertTrue(((Kiv) py).isClosed());
    }

    @Test
    void aBaseClosesOnceItsSharedInterpretersAre() {
        Interpreter base = new SubInterpreter();
        Interpreter child = new SharedInterpreter(base, false);
        assertThrows(KivException.class, base::close);
        base.exec("still = 'open'");
        child.close();
        base.close();
        assertThrows(KivException.class, () -> new SharedInterpreter(base, true));
    }

    @Test
    void closingTheMainInterpreterBindingLeavesOthersWorking() {
        try (Interpreter keep = new SharedInterpreter()) {
            Interpreter gone = new SharedInterpreter();
            gone.exec("import _kiv");
            gone.close();
            keep.exec("import _kiv\nassert _kiv.JINT_ID == 'i'");
        }
    }

    /** Python code calling Java that closes the very interpreter it runs in is refused. */
    @Test
    void closingFromInsideACallOnTheInterpreterIsRefused() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("me", py);
            py.exec("try:\n    me.close()\n    err = None\nexcept RuntimeError as e:\n    err = str(e.args[0])");
            Py.check(py, "err == 'kiv.KivException: Cannot close an interpreter from inside a call on it'");
            py.exec("still = 'running'");
        }
    }

    @Test
    void configurationIsFixedOnceRunning() {
        MainInterpreter.start();
        assertTrue(MainInterpreter.isStarted());
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> MainInterpreter.setConfig(new PyConfig()));
        assertEquals("Python is already running; its configuration can no longer be set", e.getMessage());
    }

    /** Python's count of live interpreters, seen from the main one. */
    private static int liveInterpreters() {
        try (Interpreter main = new SharedInterpreter()) {
            main.exec("import _xxsubinterpreters");
            return main.getValue("len(_xxsubinterpreters.list_all())", Integer.class);
        }
    }

    /** Each cycle gets a fresh interpreter that works, and closing it ends it in Python too. */
    @Test
    void manySubInterpretersComeAndGo() {
        int before = liveInterpreters();
        double expected = 0;
        for (int i = 0; i < 100; i++) {
            expected += Math.sqrt(i);
        }
        java.util.Set<Long> ids = new java.util.HashSet<>();
        for (int i = 0; i < 25; i++) {
            Interpreter py = new SubInterpreter();
            try {
                py.set("n", i);
                py.exec("import json, math, _xxsubinterpreters\n"
                        + "assert 'x' not in globals()\n"
                        + "x = [math.sqrt(i) for i in range(100)]\n"
                        + "s = json.dumps(x)\n"
                        + "me = int(_xxsubinterpreters.get_current())");
                assertEquals(expected, py.getValue("sum(json.loads(s))", Double.class), 1e-9);
                assertEquals(2L * i, py.getValue("n * 2", Long.class));
                assertTrue(ids.add(py.getValue("me", Long.class)), "an interpreter id came back");
                assertEquals(before + 1, py.getValue("len(_xxsubinterpreters.list_all())", Integer.class));
            } finally {
                py.close();
            }
            assertTrue(((Kiv) py).isClosed());
            assertThrows(KivException.class, () -> py.exec("x = 1"));
        }
        assertEquals(before, liveInterpreters(), "sub-interpreters left alive after close");
    }
}
