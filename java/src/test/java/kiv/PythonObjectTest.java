package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

import kiv.python.PyCallable;
import kiv.python.PyObject;

/** Python objects held from Java: kiv.python.PyObject and PyCallable. */
class PythonObjectTest {

    /** Runs on a new thread and returns what it threw. */
    static Throwable thrownOnAnotherThread(Runnable r) throws InterruptedException {
        AtomicReference<Throwable> thrown = new AtomicReference<>();
        Thread t = new Thread(() -> {
            try {
                r.run();
            } catch (Throwable e) {
                thrown.set(e);
            }
        });
        t.start();
        t.join();
        return thrown.get();
    }

    @Test
    void attributesComparisonHashAndStr() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec("class C:\n    a = 1\n    def __str__(self):\n        return 'a C'\nc = C()");
            try (PyObject c = py.getValue("c", PyObject.class)) {
                assertEquals(1L, c.getAttr("a"));
                assertEquals(1, c.getAttr("a", int.class));
                c.setAttr("b", "text");
                Py.check(py, "c.b == 'text'");
                c.delAttr("b");
                Py.check(py, "not hasattr(c, 'b')");
                assertTrue(Py.raises(() -> c.delAttr("b")).getMessage().startsWith("<class 'AttributeError'>"));
                // A name a C string would cut short is refused, not read as "a".
                assertEquals("name is invalid.", Py.raises(() -> c.getAttr("a\u0000b")).getMessage());
                assertEquals("a C", c.toString());
                assertTrue(c.equals(c));
                assertFalse(c.equals(null), "compared with None");
            }
            try (PyObject seven = py.getValue("7", PyObject.class); PyObject list = py.getValue("[]", PyObject.class)) {
                assertEquals(7, seven.hashCode());
                assertTrue(seven.equals(7));
                assertTrue(Py.raises(list::hashCode).getMessage().startsWith("<class 'TypeError'>"));
                assertEquals(List.of(), list.as(List.class));
            }
        }
    }

    @Test
    void callablesTakePositionalAndKeywordArguments() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec("def f(a, b=2):\n    return a * b");
            try (PyCallable f = py.getValue("f", PyCallable.class)) {
                assertEquals(6L, f.call(3));
                assertEquals(6, f.callAs(int.class, 3));
                assertEquals(15, f.callWithKeywords(Integer.class, new Object[] {3}, Map.of("b", 5)));
                assertEquals("abab", f.callWithKeywords(String.class, null, Map.of("a", "ab")));
                assertTrue(Py.raises(() -> f.call()).getMessage().startsWith("<class 'TypeError'>"));
            }
        }
    }

    /** The one reference goes back exactly once; afterwards the handle refuses use. */
    @Test
    void closeReleasesTheReferenceOnce() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec("import weakref, sys\nclass C: pass\nc = C()\nr = weakref.ref(c)");
            PyObject c = py.getValue("c", PyObject.class);
            py.set("again", c);  // the same object comes back into Python
            Py.check(py, "again is c");
            py.exec("del c, again");
            Py.check(py, "r() is not None");
            c.close();
            Py.check(py, "r() is None");
            c.close();
            assertEquals(0L, c.getPyObject());
            KivException e = assertThrows(KivException.class, c::toString);
            assertTrue(e.getMessage().contains("released"), e.getMessage());
            KivException set = Py.raises(() -> py.set("gone", c));
            assertTrue(set.getMessage().contains("has been released"), set.getMessage());
            Py.check(py, "'gone' not in globals()");
        }
    }

    /** A handle dropped without close gives its reference back at the owner's next call. */
    @Test
    void unreachableHandlesAreReleasedOnTheOwnerThread() throws Exception {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec("import weakref\nclass C: pass\nobjs = [C() for _ in range(50)]\nrefs = [weakref.ref(o) for o in objs]");
            for (int i = 0; i < 50; i++) {
                py.getValue("objs[" + i + "]", PyObject.class);
            }
            py.exec("del objs");
            Py.check(py, "all(r() is not None for r in refs)");
            for (int i = 0; i < 50 && !released(py); i++) {
                System.gc();
                Thread.sleep(20);
            }
            Py.check(py, "all(r() is None for r in refs)");
        }
    }

    private static boolean released(Interpreter py) {
        return py.getValue("all(r() is None for r in refs)", Boolean.class);
    }

    @Test
    void handlesWorkOnAnyThreadUntilTheirInterpreterCloses() throws Exception {
        PyObject o;
        try (SubInterpreter py = new SubInterpreter()) {
            o = py.getValue("[1, 2]", PyObject.class);
            AtomicReference<String> text = new AtomicReference<>();
            assertNull(thrownOnAnotherThread(() -> text.set(o.toString())));
            assertEquals("[1, 2]", text.get());
            assertNotNull(o.toString(), "still usable on its own thread");
        }
        KivException e = assertThrows(KivException.class, o::toString);
        assertTrue(e.getMessage().contains("closed"), e.getMessage());
        Throwable t = thrownOnAnotherThread(o::toString);
        assertTrue(t instanceof KivException && t.getMessage().contains("closed"), String.valueOf(t));
        assertEquals(0L, o.getPyObject());
        o.close(); // nothing left to give back to
        assertNull(thrownOnAnotherThread(o::close));
    }
}
