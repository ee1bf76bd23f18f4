package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;

import org.junit.jupiter.api.Test;

import kivtest.Fixtures;

/** Java objects in Python: str(), ==, hash() and ordering follow the Java object. */
class JavaObjectTest {

    @Test
    void strEqualityAndHashFollowJava() {
        try (Interpreter py = new SharedInterpreter()) {
            List<Integer> list = new ArrayList<>(List.of(1, 2));
            py.set("a", list);
            py.set("b", new ArrayList<>(List.of(1, 2)));
            py.set("c", new ArrayList<>(List.of(3)));
            Py.check(py, "str(a) == '[1, 2]'");
            Py.check(py, "a == b and not (a != b) and a != c");
            Py.check(py, "hash(a) == " + list.hashCode());
            Py.check(py, "a.java_name == 'java.util.ArrayList'");
            Py.check(py, "len({a, b, c}) == 2");
            assertSame(list, py.getValue("a"), "the same Java object comes back");

            py.set("m1", new Fixtures.HashMinusOne());
            Py.check(py, "hash(m1) == -2");
            py.set("n", new Fixtures.NullToString());
            assertTrue(Py.raises(() -> py.exec("str(n)")).getMessage().startsWith("<class 'TypeError'>"));
            Py.check(py, "repr(n).startswith('<kivtest.Fixtures$NullToString object')");
            Py.check(py, "(a == 5) is False");
        }
    }

    @Test
    void equalityShortcutsIdentityAndAlwaysAsksJavaForInequality() {
        try (Interpreter py = new SharedInterpreter()) {
            Fixtures.Keyed k = new Fixtures.Keyed("k");
            py.set("x", k);
            py.set("y", k);
            py.set("z", new Fixtures.Keyed("k"));
            Fixtures.Keyed.equalsCalls = 0;
            Py.check(py, "x == x and x == y");
            assertEquals(0, Fixtures.Keyed.equalsCalls, "identical objects compare equal without Java");
            Py.check(py, "not (x != z)");
            assertEquals(1, Fixtures.Keyed.equalsCalls);
        }
    }

    @Test
    void orderingUsesCompareToAndEqualsForTheInclusiveOperators() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("one", new Fixtures.Ranked(1));
            py.set("two", new Fixtures.Ranked(2));
            py.set("also_two", new Fixtures.Ranked(2));
            Py.check(py, "one < two and two > one and not (two < one)");
            Py.check(py, "two <= also_two and two >= also_two and one <= two");
            py.set("s1", "abc");
            // A String converts to str; a wrapped Comparable compares through compareTo.
            py.set("k1", new Fixtures.Keyed("a"));
            py.set("k2", new Fixtures.Keyed("a"));
            Py.check(py, "k1 <= k2");  // equal, so true without Comparable
            String msg = Py.raises(() -> py.exec("k1 < k2")).getMessage();
            assertEquals("<class 'TypeError'>: Invalid comparison operation for Java type Fixtures$Keyed", msg);
            // compareTo refusing the other class (ClassCastException) leaves Python's own answer.
            py.set("date", new java.util.Date(0));
            assertTrue(Py.raises(() -> py.exec("one < date")).getMessage().contains("not supported"));
        }
    }

    @Test
    void wrappersCannotBeMadeOrReclassedFromPython() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("a", new ArrayList<>());
            py.set("b", new java.util.HashMap<>());
            assertTrue(Py.raises(() -> py.exec("type(a)()")).getMessage().startsWith("<class 'TypeError'>"));
            assertTrue(Py.raises(() -> py.exec("class S(type(a)): pass\nS()")).getMessage().startsWith("<class 'TypeError'>"));
            assertTrue(Py.raises(() -> py.exec("type(a.synchronized())()")).getMessage().startsWith("<class 'TypeError'>"));
            assertEquals("<class 'TypeError'>: __class__ assignment is not supported for Java objects",
                    Py.raises(() -> py.exec("a.__class__ = type(b)")).getMessage());
            Py.check(py, "a.__class__ is type(a) and not isinstance(a, type(b))");
        }
    }

    @Test
    void synchronizedHoldsTheJavaMonitor() throws Exception {
        Object lock = new Object();
        try (Interpreter py = new SharedInterpreter()) {
            py.set("lock", lock);
            py.exec("import threading\n"
                    + "entered, release = threading.Event(), threading.Event()\n"
                    + "def hold():\n"
                    + "    with lock.synchronized():\n"
                    + "        with lock.synchronized():\n"  // monitors nest, as in Java
                    + "            entered.set()\n"
                    + "            release.wait()\n"
                    + "t = threading.Thread(target=hold)\n"
                    + "t.start()\n"
                    + "entered.wait()");
            AtomicBoolean acquired = new AtomicBoolean();
            Thread contender = new Thread(() -> {
                synchronized (lock) {
                    acquired.set(true);
                }
            });
            contender.start();
            long deadline = System.nanoTime() + Duration.ofSeconds(30).toNanos();
            while (contender.getState() != Thread.State.BLOCKED && System.nanoTime() < deadline) {
                Thread.sleep(5);
            }
            assertEquals(Thread.State.BLOCKED, contender.getState(), "a Python thread holds the monitor");
            assertFalse(acquired.get());
            py.exec("release.set()\nt.join()");
            contender.join(30_000);
            assertTrue(acquired.get(), "the monitor was given back");

            // An exception inside the block still leaves the monitor.
            py.exec("try:\n    with lock.synchronized():\n        raise KeyError('x')\nexcept KeyError:\n    pass");
            Thread after = new Thread(() -> {
                synchronized (lock) {
                    acquired.set(false);
                }
            });
            after.start();
            after.join(30_000);
            assertFalse(acquired.get());
        }
    }
}
