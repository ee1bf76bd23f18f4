package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/**
 * What a binding keeps between calls from Java (the str of each invoked name, the code of
 * each text run, evaluated or compiled) must never show: each call behaves as if it were
 * the first.
 */
class CallCachesTest {

    @Test
    void invokeFollowsTheNameToItsCurrentObject() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def f(a, b):\n    return a + b");
            assertEquals(3L, py.invoke("f", 1, 2));
            py.exec("def f(a, b):\n    return a * b");
            assertEquals(2L, py.invoke("f", 1, 2), "a name rebound between two calls calls the new function");
            py.exec("del f");
            KivException gone = Py.raises(() -> py.invoke("f", 1, 2));
            assertEquals("Unable to find object with name: f", gone.getMessage());
            py.exec("f = len");
            assertEquals(3L, py.invoke("f", "abc"));
            // A dotted name is an attribute of a global, read at each call.
            py.exec("class Box:\n    def get(self):\n        return 'first'\nbox = Box()");
            assertEquals("first", py.invoke("box.get"));
            py.exec("box.get = lambda: 'second'");
            assertEquals("second", py.invoke("box.get"));
            // Names that a cache of names might confuse: a prefix, and the same text as code.
            py.exec("def ff():\n    return 'ff'");
            py.exec("x = 5");
            assertEquals("ff", py.invoke("ff"));
            assertEquals(5L, py.getValue("x"));
            KivException notCallable = Py.raises(() -> py.invoke("x"));
            assertTrue(notCallable.getMessage().contains("Invalid callable"), notCallable.getMessage());
        }
    }

    @Test
    void invokeOfNamesThatCannotBeKept() {
        try (Interpreter py = new SharedInterpreter()) {
            String longName = "n" + "x".repeat(400);  // longer than the names kept
            py.exec("def " + longName + "():\n    return 'long'");
            assertEquals("long", py.invoke(longName));
            assertEquals("long", py.invoke(longName));
            py.exec("def caf\u00e9():\n    return 'accent'");
            assertEquals("accent", py.invoke("caf\u00e9"));
            assertEquals("accent", py.invoke("caf\u00e9"));
            for (int i = 0; i < 2; i++) {
                KivException e = Py.raises(() -> py.invoke("a\uDC00b"));
                assertTrue(e.getMessage().startsWith("Unable to find object with name"), e.getMessage());
            }
            // A name cut at U+0000 by C code would find "len" here.
            py.exec("import builtins");
            for (int i = 0; i < 2; i++) {
                KivException e = Py.raises(() -> py.invoke("nothing_here\u0000len", "abc"));
                assertTrue(e.getMessage().startsWith("Unable to find object with name"), e.getMessage());
            }
            KivException nul = Py.raises(() -> py.invoke(null));
            assertEquals("name is invalid.", nul.getMessage());
        }
    }

    @Test
    void theSameTextRunsAfreshInEachBinding() {
        try (Interpreter a = new SubInterpreter(); Interpreter b = new SubInterpreter()) {
            String text = "count = globals().get('count', 0) + 1";
            a.exec(text);
            b.exec(text);
            a.exec(text);
            assertEquals(2L, a.getValue("count"), "exec runs in the globals of the binding it is called on");
            assertEquals(1L, b.getValue("count"));
        }
        try (Interpreter a = new SharedInterpreter(); Interpreter b = new SharedInterpreter()) {
            a.exec("n = 1");
            b.exec("n = 2");
            assertEquals(2L, a.getValue("n + 1"));
            assertEquals(3L, b.getValue("n + 1"));
        }
    }

    @Test
    void importsSeeSysModulesAsItIsNow() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import sys, types\nm = types.ModuleType('kiv_cache_probe')\nm.value = 1\n"
                    + "sys.modules['kiv_cache_probe'] = m");
            String text = "import kiv_cache_probe\nseen = kiv_cache_probe.value";
            py.exec(text);
            assertEquals(1L, py.getValue("seen"));
            py.exec("m2 = types.ModuleType('kiv_cache_probe')\nm2.value = 2\nsys.modules['kiv_cache_probe'] = m2");
            py.exec(text);
            assertEquals(2L, py.getValue("seen"), "the second exec imports the module sys.modules holds now");
            py.exec("del sys.modules['kiv_cache_probe']");
            KivException e = Py.raises(() -> py.exec(text));
            assertTrue(e.getMessage().startsWith("<class 'ModuleNotFoundError'>"), e.getMessage());
        }
    }

    @Test
    void eachUseOfATextKeepsItsOwnMeaning() {
        try (Interpreter py = new SharedInterpreter()) {
            // One text as a statement, an expression and a console line.
            py.exec("x = 41");
            assertEquals(1, py.compileString("x + 1"));
            assertEquals(42L, py.getValue("x + 1"));
            py.exec("x + 1");
            assertEquals(41L, py.getValue("x"));
            py.exec("x = x + 1");
            py.exec("x = x + 1");
            assertEquals(43L, py.getValue("x"), "a cached statement runs each time");
            // Texts that do not compile fail every time, and a later text that does is run.
            for (int i = 0; i < 2; i++) {
                KivException e = Py.raises(() -> py.exec("x = ("));
                assertTrue(e.getMessage().startsWith("<class 'SyntaxError'>"), e.getMessage());
                assertEquals(0, py.compileString("if x:"));
                KivException nul = Py.raises(() -> py.exec("y = 1\u0000"));
                assertEquals("<class 'ValueError'>: source code string cannot contain null bytes", nul.getMessage());
            }
            assertNull(py.getValue("globals().get('y')"));
            // More texts than the cache keeps: the first ones still run right afterwards.
            for (int i = 0; i < 200; i++) {
                py.exec("v = " + i);
                assertEquals((long) i, py.getValue("v"));
            }
            py.exec("v = 0");
            assertEquals(0L, py.getValue("v"));
            // A long text (not kept) runs each time too.
            String longText = "w = 0\n" + "w += 1\n".repeat(5000);
            py.exec(longText);
            py.exec(longText);
            assertEquals(5000L, py.getValue("w"));
        }
    }

    @Test
    void cachedCodeFindsTheBuiltinsAgain() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("n = len('ab')");
            py.exec("del __builtins__");
            py.exec("n = len('abc')");
            assertEquals(3L, py.getValue("n"));
            assertEquals(3L, py.getValue("len('abc')"));
        }
    }

    @Test
    void aConverterRegisteredBetweenTwoCallsIsApplied() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("from _kiv import findClass, setJavaToPythonConverter as setConverter\n"
                    + "StringBuilder = findClass('java.lang.StringBuilder')\n"
                    + "l = findClass('java.util.ArrayList')()\n"
                    + "l.add(StringBuilder('x'))\n"
                    + "first = l.get(0)\nagain = l.get(0)\n"
                    + "def show(o):\n    return o");
            Py.check(py, "type(again).__name__ == 'StringBuilder' and again.toString() == 'x'");
            assertEquals(StringBuilder.class, py.invoke("show", new StringBuilder("y")).getClass());
            py.exec("setConverter(StringBuilder, lambda b: 'converted ' + b.toString())\nsecond = l.get(0)");
            Py.check(py, "second == 'converted x'");
            assertEquals("converted y", py.invoke("show", new StringBuilder("y")));
            py.exec("setConverter(StringBuilder, None)\nthird = l.get(0)");
            Py.check(py, "type(third).__name__ == 'StringBuilder'");
            assertEquals(StringBuilder.class, py.invoke("show", new StringBuilder("y")).getClass());
        }
    }

    @Test
    void callablesConvertToTheInterfacesAskedForEachTime() {
        Class<?>[] interfaces = {Runnable.class, java.util.concurrent.Callable.class, java.util.function.Supplier.class,
            java.util.function.Function.class, java.util.function.Consumer.class, java.util.function.Predicate.class,
            java.util.function.BiFunction.class, java.util.function.IntSupplier.class, java.util.function.LongUnaryOperator.class,
            java.util.function.DoubleSupplier.class};
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def f(*args):\n    return 1");
            // More interfaces than the answers kept, twice over: each answer stays right.
            for (int round = 0; round < 2; round++) {
                for (Class<?> iface : interfaces) {
                    assertTrue(iface.isInstance(py.getValue("f", iface)), iface.getName());
                }
                KivException e = Py.raises(() -> py.getValue("f", java.util.Comparator.class));
                assertEquals("<class 'TypeError'>: Expected java.util.Comparator but received a function.", e.getMessage());
                KivException list = Py.raises(() -> py.getValue("f", java.util.List.class));
                assertTrue(list.getMessage().startsWith("<class 'TypeError'>"), list.getMessage());
            }
            assertEquals(1L, ((java.util.function.Supplier<?>) py.getValue("f", java.util.function.Supplier.class)).get());
        }
    }

    /** Boxed arguments of invoke travel as their values; every kind, beside other objects. */
    @Test
    void boxedArgumentsOfInvokeArriveAsTheirValues() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def kinds(*args):\n    return ' '.join('%s:%r' % (type(a).__name__, a) for a in args)");
            assertEquals("int:-9223372036854775808 int:-2147483648 int:-32768 int:-128 float:-0.0 float:0.1 "
                    + "bool:True bool:False str:'\\ud800' str:'x'",
                    py.invoke("kinds", Long.MIN_VALUE, Integer.MIN_VALUE, Short.MIN_VALUE, Byte.MIN_VALUE, -0.0, 0.1,
                            true, false, '\uD800', 'x'));
            assertEquals("float:0.10000000149011612 float:nan float:inf NoneType:None str:'s' int:18446744073709551616",
                    py.invoke("kinds", 0.1f, Double.NaN, Float.POSITIVE_INFINITY, null, "s",
                            java.math.BigInteger.TWO.pow(64)));
            assertEquals("", py.invoke("kinds"));
            assertEquals("int:1", py.invoke("kinds", new Object[] {1}, java.util.Map.of()));
            Py.check(py, "kinds(True) == 'bool:True'");
            // A subclass of Number that is no JDK box is handed over as itself.
            py.exec("def type_of(o):\n    return type(o).__name__");
            assertEquals("AtomicLong", py.invoke("type_of", new java.util.concurrent.atomic.AtomicLong(5)));
        }
    }

    /** Attribute names are kept like invoked names: the attribute itself is read at each call. */
    @Test
    void attributeNamesFollowTheObjectsTheyAreReadOn() throws Exception {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("class C:\n    pass\na = C()\nb = C()\na.v = 1\nb.v = 2");
            kiv.python.PyObject a = py.getValue("a", kiv.python.PyObject.class);
            kiv.python.PyObject b = py.getValue("b", kiv.python.PyObject.class);
            assertEquals(1L, a.getAttr("v"));
            assertEquals(2L, b.getAttr("v"));
            a.setAttr("v", 3);
            assertEquals(3L, a.getAttr("v"));
            assertEquals(3L, py.getValue("a.v"));
            a.delAttr("v");
            KivException gone = Py.raises(() -> a.getAttr("v"));
            assertTrue(gone.getMessage().startsWith("<class 'AttributeError'>"), gone.getMessage());
            for (int i = 0; i < 2; i++) {
                assertEquals("name is invalid.", Py.raises(() -> b.getAttr("v\u0000")).getMessage());
                assertEquals("name is invalid.", Py.raises(() -> b.getAttr(null)).getMessage());
                KivException lone = Py.raises(() -> b.getAttr("\uDC00"));
                assertTrue(lone.getMessage().startsWith("<class 'UnicodeDecodeError'>"), lone.getMessage());
            }
            // From another thread, which does not use the owner's cache.
            java.util.concurrent.ExecutorService other = java.util.concurrent.Executors.newSingleThreadExecutor();
            try {
                assertEquals(2L, other.submit(() -> b.getAttr("v")).get());
                other.submit(() -> b.setAttr("v", 5)).get();
            } finally {
                other.shutdown();
            }
            assertEquals(5L, b.getAttr("v"));
        }
    }
}
