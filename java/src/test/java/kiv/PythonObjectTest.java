package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Iterator;
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
            KivException e = assertThrows(KivException.class, () -> c.getAttr("x"));
            assertTrue(e.getMessage().contains("released"), e.getMessage());
            assertEquals("<kiv.python.PyObject released>", c.toString());
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
        KivException e = assertThrows(KivException.class, o::hashCode);
        assertTrue(e.getMessage().contains("closed"), e.getMessage());
        Throwable t = thrownOnAnotherThread(o::hashCode);
        assertTrue(t instanceof KivException && t.getMessage().contains("closed"), String.valueOf(t));
        assertEquals("<kiv.python.PyObject of a closed interpreter>", o.toString());
        assertEquals(0L, o.getPyObject());
        o.close(); // nothing left to give back to
        assertNull(thrownOnAnotherThread(o::close));
    }

    /** A handle made around an address by hand: the one way Java can hold None (conversions give null). */
    private static final class Held extends PyObject {
        Held(Kiv kiv, long address) {
            super(kiv, address);
        }
    }

    @Test
    void typeTestsAttributesAndLength() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec(String.join("\n",
                    "class C:",
                    "    a = 1",
                    "    @property",
                    "    def broken(self):",
                    "        raise ValueError('broken property')",
                    "    @property",
                    "    def absent(self):",
                    "        raise AttributeError('absent')",
                    "class Big:",
                    "    def __len__(self):",
                    "        return 2 ** 40",
                    "class Call:",
                    "    def __call__(self):",
                    "        return 1",
                    "c = C()",
                    ""));
            try (PyObject c = py.getValue("c", PyObject.class);
                    PyObject cls = py.getValue("C", PyObject.class);
                    PyObject big = py.getValue("Big()", PyObject.class);
                    PyObject call = py.getValue("Call()", PyObject.class);
                    PyObject text = py.getValue("'h\u00e9llo'", PyObject.class)) {
                assertTrue(cls.isCallable());
                assertTrue(call.isCallable());
                assertFalse(c.isCallable());
                assertFalse(c.isNone());
                assertTrue(c.hasAttr("a"));
                assertTrue(c.hasAttr("__class__"));
                assertFalse(c.hasAttr("missing"));
                assertFalse(c.hasAttr("absent"), "an AttributeError from a property means no");
                KivException broken = Py.raises(() -> c.hasAttr("broken"));
                assertTrue(broken.getMessage().startsWith("<class 'ValueError'>: broken property"), broken.getMessage());
                assertEquals("name is invalid.", Py.raises(() -> c.hasAttr("a\u0000")).getMessage());
                assertEquals(1L << 40, big.len(), "a length beyond int range arrives whole");
                assertEquals(5L, text.len(), "characters, not UTF-8 bytes");
                assertTrue(Py.raises(c::len).getMessage().startsWith("<class 'TypeError'>"));
            }
            long none = py.getValue("id(None)", Long.class);
            try (Held n = new Held(py, none)) {  // None is immortal: the missing reference costs nothing
                assertTrue(n.isNone());
                assertFalse(n.isCallable());
                assertEquals("None", n.toString());
            }
        }
    }

    @Test
    void itemsOfSequencesAndMappings() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec("d = {'a': 1, 2: 'two'}\nl = [10, 20, 30]\nt = (1, 2)");
            try (PyObject d = py.getValue("d", PyObject.class);
                    PyObject l = py.getValue("l", PyObject.class);
                    PyObject t = py.getValue("t", PyObject.class)) {
                assertEquals(1L, d.getItem("a"));
                assertEquals("two", d.getItem(2), "a Java Integer key is the Python int");
                assertEquals(1, d.getItem("a", int.class));
                d.setItem("b", List.of(1, 2));
                d.setItem("n", null);
                Py.check(py, "list(d['b']) == [1, 2] and d['n'] is None");
                assertNull(d.getItem("n"));
                d.delItem("a");
                Py.check(py, "'a' not in d");
                assertEquals(3L, d.len());
                KivException missing = Py.raises(() -> d.getItem("a"));
                assertTrue(missing.getMessage().startsWith("<class 'KeyError'>"), missing.getMessage());
                assertTrue(Py.raises(() -> d.delItem("a")).getMessage().startsWith("<class 'KeyError'>"));
                KivException unhashable = Py.raises(() -> d.getItem(l));  // the Python list itself
                assertTrue(unhashable.getMessage().contains("unhashable"), unhashable.getMessage());

                assertEquals(30L, l.getItem(-1));
                l.setItem(0, "x");
                l.delItem(1);
                Py.check(py, "l == ['x', 30]");
                assertTrue(Py.raises(() -> l.getItem(5)).getMessage().startsWith("<class 'IndexError'>"));
                assertTrue(Py.raises(() -> l.getItem("a")).getMessage().startsWith("<class 'TypeError'>"));
                assertTrue(Py.raises(() -> t.setItem(0, 1)).getMessage().startsWith("<class 'TypeError'>"));
                assertTrue(Py.raises(() -> l.getItem(1, List.class)).getMessage().startsWith("<class 'TypeError'>"));
            }
        }
    }

    @Test
    void iterationConvertsItemsAndLetsThePythonIteratorGo() {
        try (SharedInterpreter py = new SharedInterpreter()) {
            py.exec(String.join("\n",
                    "import weakref",
                    "iterators = []",
                    "class It:",
                    "    def __init__(self, items):",
                    "        self.items = list(items)",
                    "        iterators.append(weakref.ref(self))",
                    "    def __iter__(self):",
                    "        return self",
                    "    def __next__(self):",
                    "        if not self.items:",
                    "            raise StopIteration",
                    "        return self.items.pop(0)",
                    "class Box:",
                    "    def __init__(self, *items):",
                    "        self.items = items",
                    "    def __iter__(self):",
                    "        return It(self.items)",
                    "def failing():",
                    "    yield 1",
                    "    raise ValueError('stopped')",
                    ""));
            try (PyObject box = py.getValue("Box(1, 'a', None, 2.5)", PyObject.class)) {
                List<Object> seen = new java.util.ArrayList<>();
                for (Object x : (Iterable<Object>) box::iterator) {
                    seen.add(x);
                }
                assertEquals(java.util.Arrays.asList(1L, "a", null, 2.5), seen);
                Py.check(py, "len(iterators) == 1 and iterators[0]() is None");  // given back at the end

                Iterator<Object> it = box.iterator();
                assertTrue(it.hasNext());
                assertTrue(it.hasNext(), "asking twice skips nothing");
                assertEquals(1L, it.next());
                assertEquals("a", it.next());
                assertNull(it.next());
                assertEquals(2.5, it.next());
                assertFalse(it.hasNext());
                assertThrows(java.util.NoSuchElementException.class, it::next);
                Py.check(py, "iterators[1]() is None");
            }
            try (PyObject strings = py.getValue("('x', 'y')", PyObject.class);
                    PyObject d = py.getValue("{'k': 1, 'j': 2}", PyObject.class);
                    PyObject gen = py.getValue("failing()", PyObject.class);
                    PyObject number = py.getValue("5", PyObject.class)) {
                Iterator<String> s = strings.iterator(String.class);
                assertEquals("x", s.next());
                assertEquals("y", s.next());
                assertFalse(s.hasNext());
                Iterator<Object> keys = d.iterator();
                assertEquals(List.of("k", "j"), List.of(keys.next(), keys.next()));
                Iterator<Integer> ints = py.getValue("[1, 'no']", PyObject.class).iterator(Integer.class);
                assertEquals(1, ints.next());
                assertTrue(Py.raises(ints::next).getMessage().startsWith("<class 'TypeError'>"));

                Iterator<Object> g = gen.iterator();
                assertEquals(1L, g.next());
                KivException stopped = Py.raises(g::hasNext);
                assertTrue(stopped.getMessage().startsWith("<class 'ValueError'>: stopped"), stopped.getMessage());
                assertFalse(g.hasNext(), "a Python iterator that raised is finished");
                assertTrue(Py.raises(number::iterator).getMessage().startsWith("<class 'TypeError'>"));
            }
        }
    }

    /** The new methods work on other threads (auxiliary thread states) and refuse after close. */
    @Test
    void itemsAndIterationFromAnotherThreadThenAfterClose() throws Exception {
        PyObject d;
        PyCallable f;
        Iterator<Object> started;
        try (SubInterpreter py = new SubInterpreter()) {
            d = py.getValue("{'a': [1, 2, 3]}", PyObject.class);
            f = py.getValue("len", PyCallable.class);
            AtomicReference<List<Object>> seen = new AtomicReference<>();
            assertNull(thrownOnAnotherThread(() -> {
                d.setItem("b", "text");
                try (PyObject list = d.getItem("a", PyObject.class)) {
                    List<Object> items = new java.util.ArrayList<>();
                    list.iterator().forEachRemaining(items::add);
                    items.add(d.len());
                    items.add(d.hasAttr("keys"));
                    items.add(list.isCallable());
                    seen.set(items);
                }
            }));
            assertEquals(List.of(1L, 2L, 3L, 2L, true, false), seen.get());
            assertEquals("text", d.getItem("b"));
            started = d.iterator();
            assertEquals("a", started.next());
            assertEquals("<built-in function len>", f.toString());
        }
        for (Runnable use : List.<Runnable>of(() -> d.getItem("a"), () -> d.setItem("a", 1), () -> d.delItem("a"),
                d::len, d::isNone, d::isCallable, () -> d.hasAttr("keys"), d::iterator)) {
            KivException here = assertThrows(KivException.class, use::run);
            assertTrue(here.getMessage().contains("closed"), here.getMessage());
            Throwable there = thrownOnAnotherThread(use);
            assertTrue(there instanceof KivException && there.getMessage().contains("closed"), String.valueOf(there));
        }
        KivException ended = assertThrows(KivException.class, started::hasNext);
        assertTrue(ended.getMessage().contains("closed"), ended.getMessage());
        assertFalse(started.hasNext(), "an iterator that threw is finished");
        assertEquals("<kiv.python.PyCallable of a closed interpreter>", f.toString());
        AtomicReference<String> text = new AtomicReference<>();
        assertNull(thrownOnAnotherThread(() -> text.set(d.toString())));
        assertEquals("<kiv.python.PyObject of a closed interpreter>", text.get());
    }
}
