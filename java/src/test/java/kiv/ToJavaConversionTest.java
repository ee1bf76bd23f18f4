package kiv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.math.BigInteger;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;

import kiv.python.PyCallable;
import kiv.python.PyObject;

/** Python values asked for as a given Java class (Interpreter.getValue). */
class ToJavaConversionTest {

    static void assertRaises(Interpreter py, String expr, Class<?> as, String message) {
        assertEquals(message, Py.raises(() -> py.getValue(expr, as)).getMessage(), expr + " as " + as.getName());
    }

    static void assertRaisesType(Interpreter py, String expr, Class<?> as, String pythonType) {
        String m = Py.raises(() -> py.getValue(expr, as)).getMessage();
        assertTrue(m.startsWith("<class '" + pythonType + "'>"), expr + " as " + as.getName() + ": " + m);
    }

    @Test
    void scalarsFollowTheExpectedClass() {
        try (Interpreter py = new SubInterpreter()) {
            for (Class<?> c : new Class<?>[] {Object.class, Integer.class, String.class, int[].class, PyObject.class}) {
                assertNull(py.getValue("None", c));
            }
            assertEquals(5L, py.getValue("5", Object.class));
            assertEquals(5, py.getValue("5", Integer.class));
            assertEquals((short) -7, py.getValue("-7", short.class));
            assertEquals(BigInteger.TWO.pow(70), py.getValue("2**70", Object.class));
            assertEquals(BigInteger.TWO.pow(70).negate(), py.getValue("-2**70", Number.class));
            assertRaisesType(py, "2**70", Long.class, "OverflowError");
            assertRaises(py, "300", Byte.class, "<class 'OverflowError'>: 300 is outside the valid range of a Java byte.");
            assertRaises(py, "2**31", int.class, "<class 'OverflowError'>: 2147483648 is outside the valid range of a Java int.");
            assertRaisesType(py, "2.5", Byte.class, "TypeError");
            // BigInteger takes int's own digits, not an overriding __str__.
            py.exec("class I(int):\n    def __str__(self):\n        return 'not digits'");
            assertEquals(BigInteger.TWO.pow(70), py.getValue("I(2**70)", Object.class));
            assertEquals(BigInteger.valueOf(5), py.getValue("I(5)", BigInteger.class));

            assertEquals('x', py.getValue("'x'", Character.class));
            assertRaises(py, "'x'", Integer.class, "<class 'TypeError'>: Expected java.lang.Integer but received a str.");
            assertRaises(py, "'xy'", char.class, "<class 'TypeError'>: Expected char but received a str.");
            assertEquals(Boolean.TRUE, py.getValue("True", Object.class), "bool is never an Integer");
            assertRaises(py, "True", Integer.class, "<class 'TypeError'>: Expected java.lang.Integer but received a bool.");
            assertEquals(0.5, py.getValue("0.5", Object.class));
            assertEquals(0.5f, py.getValue("0.5", Float.class));
            assertEquals(Float.POSITIVE_INFINITY, py.getValue("1e300", Float.class));
            assertEquals(Float.NEGATIVE_INFINITY, py.getValue("-3.5e38", Float.class));
            assertEquals(Float.MAX_VALUE, py.getValue("3.4028235e38", Float.class), "rounds down to the largest float");
        }
    }

    @Test
    void strings() {
        try (Interpreter py = new SubInterpreter()) {
            String latin1 = "caf\u00e9 ".repeat(100);
            for (String s : new String[] {"", "plain", "caf\u00e9", latin1, "\u20ac and \u00e9", "\uD83D\uDE00 emoji",
                    "a\u0000b", "\uFEFFx", "\uFEFF\uD83D\uDE00", "\u00e9\u0000\uD83D\uDE00"}) {
                assertEquals(s, py.getValue(Py.lit(s), String.class), "round trip of " + Py.lit(s));
            }
            assertEquals("\uD800", py.getValue("'\\ud800'", String.class), "a lone surrogate of a 2-byte string");
            assertEquals("\uD800\uD83D\uDE00", py.getValue("'\\ud800\\U0001F600'", String.class),
                    "a lone surrogate of a 4-byte string");
            assertRaisesType(py, "b'xy'", String.class, "TypeError");
        }
    }

    @Test
    void listsTuplesAndDicts() {
        try (Interpreter py = new SubInterpreter()) {
            Object nested = py.getValue("[1, 'a', None, [2.5]]", Object.class);
            assertEquals(ArrayList.class, nested.getClass());
            assertEquals(Arrays.asList(1L, "a", null, new ArrayList<>(List.of(2.5))), nested);
            assertEquals(ArrayList.class, ((List<?>) nested).get(3).getClass());

            List<?> tuple = py.getValue("(1, 2)", List.class);
            assertEquals(List.of(1L, 2L), tuple);
            assertThrows(UnsupportedOperationException.class, () -> tuple.add(null));
            assertThrows(UnsupportedOperationException.class, () -> py.getValue("()", List.class).add(null));
            py.getValue("[1]", ArrayList.class).add(null);
            assertRaises(py, "(1, 2)", ArrayList.class,
                    "<class 'TypeError'>: Expected java.util.ArrayList but received a tuple.");

            Map<?, ?> map = py.getValue("{'a': 1, None: 2, 3: {'in': []}}", Map.class);
            assertEquals(HashMap.class, map.getClass());
            assertEquals(1L, map.get("a"));
            assertEquals(Map.of("in", List.of()), map.get(3L));
            assertEquals(2L, map.get(null));
            assertEquals(Map.of(), py.getValue("{}", Object.class));

            // A failing item fails the whole conversion.
            assertRaisesType(py, "[1, 2**70, 'x']", String[].class, "TypeError");
            py.exec("loop = []\nloop.append(loop)");
            assertRaisesType(py, "{1: [2, loop]}", Map.class, "RecursionError");
        }
    }

    /**
     * Lists, tuples and dicts of ints, floats or strs alone go to Java in one array each:
     * the result must be what converting item by item gives.
     */
    @Test
    void plainListsAndDictsConvertAsTheirItemsWould() {
        try (Interpreter py = new SharedInterpreter()) {
            List<?> ints = py.getValue("[0, -1, 2**63 - 1, -2**63]", List.class);
            assertEquals(ArrayList.class, ints.getClass());
            assertEquals(List.of(0L, -1L, Long.MAX_VALUE, Long.MIN_VALUE), ints);
            // One int beyond 64 bits: every item converted one by one, that one a BigInteger.
            assertEquals(Arrays.asList(1L, BigInteger.TWO.pow(64)), py.getValue("[1, 2**64]", List.class));
            assertEquals(Arrays.asList(BigInteger.TWO.pow(64), 1L), py.getValue("[2**64, 1]", List.class));
            List<?> floats = py.getValue("(0.5, -0.0, float('inf'))", List.class);
            assertEquals(List.of(0.5, -0.0, Double.POSITIVE_INFINITY), floats);
            assertThrows(UnsupportedOperationException.class, () -> floats.add(null));
            assertEquals(List.of("", "caf\u00e9", "\uD83D\uDE00"),
                    py.getValue("['', 'caf\\u00e9', '\\U0001F600']", List.class));
            // Not of one plain kind: bools, int subclasses, mixed kinds and None.
            assertEquals(List.of(true, false), py.getValue("[True, False]", List.class));
            assertEquals(Arrays.asList(1L, 2.5, "s", null), py.getValue("[1, 2.5, 's', None]", List.class));
            py.exec("import enum\nclass E(enum.IntEnum):\n    A = 1");
            List<?> enums = py.getValue("[1, E.A]", List.class);
            assertEquals(2, enums.size());
            assertEquals(1L, enums.get(0));
            // A lone surrogate next to a character above U+FFFF arrives as it does alone.
            assertEquals(List.of("a", "\uD800\uD83D\uDE00"),
                    py.getValue("['a', '\\ud800\\U0001F600']", List.class));
            assertEquals(Map.of("a", "\uD800\uD83D\uDE00"),
                    py.getValue("{'a': '\\ud800\\U0001F600'}", Map.class));

            Map<?, ?> table = py.getValue("{'k%d' % i: i for i in range(100)}", Map.class);
            assertEquals(HashMap.class, table.getClass());
            assertEquals(100, table.size());
            assertEquals(99L, table.get("k99"));
            assertEquals(Map.of(1L, "one", 2L, "two"), py.getValue("{1: 'one', 2: 'two'}", Map.class));
            assertEquals(Map.of(0.5, 1.5), py.getValue("{0.5: 1.5}", Map.class));
            assertEquals(Map.of("big", BigInteger.TWO.pow(70), "small", 1L),
                    py.getValue("{'small': 1, 'big': 2**70}", Map.class));
            Map<?, ?> mixed = py.getValue("{'a': 1, 'b': 'two', 3: 3.0}", Map.class);
            assertEquals(Map.of("a", 1L, "b", "two", 3L, 3.0), mixed);

            // A large list, and the same list again as an array of longs.
            List<?> many = py.getValue("list(range(100_000))", List.class);
            assertEquals(100_000, many.size());
            assertEquals(99_999L, many.get(99_999));
            long[] longs = py.getValue("list(range(100_000))", long[].class);
            assertEquals(99_999L, longs[99_999]);
        }
    }

    /** Converts containers of far more items than one JNI local frame holds. */
    public static final class ManyItems {
        public static void main(String[] args) {
            try (Interpreter py = new SubInterpreter()) {
                py.exec("n = 3000\nitems = [str(i) for i in range(n)]\nnested = [[i] for i in range(n)]");
                List<?> list = py.getValue("items", List.class);
                List<?> tuple = py.getValue("tuple(items)", List.class);
                Map<?, ?> map = py.getValue("dict(zip(items, range(n)))", Map.class);
                String[] strings = py.getValue("items", String[].class);
                Object[] objects = py.getValue("nested", Object[].class);
                List<?> lists = py.getValue("nested", List.class);
                if (list.size() != 3000 || tuple.size() != 3000 || map.size() != 3000 || strings.length != 3000
                        || objects.length != 3000 || !List.of(2999L).equals(lists.get(2999))
                        || !Long.valueOf(2999).equals(map.get("2999"))) {
                    throw new AssertionError("wrong conversion");
                }
            }
            // Failures part-way through leave no local references or Java exceptions behind.
            try (Interpreter py = new SubInterpreter()) {
                py.exec("loop = []\nloop.append(loop)\nbad = [1, 2, 3, {'k': [2, loop]}, 'x']");
                for (int i = 0; i < 200; i++) {
                    for (Class<?> c : new Class<?>[] {String[].class, byte[].class, ArrayList.class, Comparator.class}) {
                        try {
                            py.getValue("bad", c);
                            throw new AssertionError("converted bad as " + c);
                        } catch (KivException expected) {
                            // as it should be
                        }
                    }
                }
            }
            System.out.println("converted");
        }
    }

    @Test
    void largeConversionsKeepWithinTheirLocalFrames() throws Exception {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        ChildJvm.Result r = ChildJvm.main(ManyItems.class.getName()).run().assertExit(0).assertNoJniProblems();
        assertEquals("converted", r.stdout.strip());
    }

    @Test
    void containersThatHoldThemselvesRaiseRecursionError() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("a = [1]\na.append(a)\nd = {}\nd['d'] = d\nt = [[a]]");
            for (String name : new String[] {"a", "d", "t"}) {
                assertRaisesType(py, name, Object.class, "RecursionError");
            }
            assertRaisesType(py, "a", Object[].class, "RecursionError");
            assertEquals(List.of(1L), py.getValue("a[:1]", List.class), "usable afterwards");
        }
    }

    @Test
    void itemsAreHeldWhilePythonCodeEmptiesTheirContainer() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("class Str:\n    def __str__(self):\n        items.clear()\n        return 's'\n"
                    + "class Idx:\n    def __index__(self):\n        items.clear()\n        return 7\n");
            py.exec("items = [Str(), Str(), Str()]");
            assertArrayEquals(new String[] {"s", "s", "s"}, py.getValue("items", String[].class));
            py.exec("items = [Idx(), Idx()]");
            assertArrayEquals(new int[] {7, 7}, py.getValue("items", int[].class));
            Py.check(py, "items == []");
        }
    }

    @Test
    void sequencesToArrays() {
        try (Interpreter py = new SubInterpreter()) {
            assertArrayEquals(new int[] {1, 2, 3}, py.getValue("[1, 2, 3]", int[].class));
            assertArrayEquals(new int[0], py.getValue("[]", int[].class));
            assertArrayEquals(new char[] {'a', 'b'}, py.getValue("['a', 'b']", char[].class));
            assertArrayEquals(new boolean[] {true, false, true}, py.getValue("[True, 0, 2]", boolean[].class));
            assertArrayEquals(new long[] {-1, Long.MAX_VALUE}, py.getValue("(-1, 2**63 - 1)", long[].class));
            assertArrayEquals(new double[] {1.5, 2}, py.getValue("[1.5, 2]", double[].class));
            assertArrayEquals(new String[] {"x", null}, py.getValue("['x', None]", String[].class));
            assertArrayEquals(new int[][] {{1, 2}, {}}, py.getValue("[[1, 2], []]", int[][].class));
            assertArrayEquals(new Object[] {1L, "a"}, py.getValue("(1, 'a')", Object[].class));
            assertRaisesType(py, "[1.5]", int[].class, "TypeError");
            assertRaises(py, "[1, 300]", byte[].class, "<class 'OverflowError'>: 300 is outside the valid range of a Java byte.");
            assertRaises(py, "['ab']", char[].class, "<class 'TypeError'>: Expected char but received a str.");
            assertRaises(py, "'ab'", char[].class, "<class 'TypeError'>: Expected [C but received a str.");
        }
    }

    @Test
    void buffersToArrays() {
        // ctypes loads only in the main interpreter.
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import array, ctypes");
            assertArrayEquals(new byte[] {'x', 'y'}, (byte[]) py.getValue("b'xy'", Object.class));
            assertArrayEquals(new byte[] {-1}, py.getValue("bytearray([255])", byte[].class));
            assertArrayEquals(new int[] {1, -2}, (int[]) py.getValue("array.array('i', [1, -2])", Object.class));
            assertArrayEquals(new short[] {3}, (short[]) py.getValue("array.array('h', [3])", Object.class));
            assertArrayEquals(new long[] {4}, (long[]) py.getValue("array.array('q', [4])", Object.class));
            assertArrayEquals(new float[] {0.5f}, (float[]) py.getValue("array.array('f', [0.5])", Object.class));
            assertArrayEquals(new double[] {0.25}, py.getValue("memoryview(array.array('d', [0.25]))", double[].class));
            assertArrayEquals(new int[] {0, 2, 4}, py.getValue("memoryview(array.array('i', range(6)))[::2]", int[].class));
            assertArrayEquals(new int[0], py.getValue("array.array('i')", int[].class));
            assertRaises(py, "array.array('d', [1])", int[].class,
                    "<class 'TypeError'>: Buffer format 'd' is not valid for a int[].");
            assertRaises(py, "(ctypes.c_int * 2)()", int[].class,
                    "<class 'TypeError'>: Buffer format '<i' is not valid for a int[].");
            assertRaises(py, "b'x'", long[].class, "<class 'TypeError'>: Buffer format 'B' is not valid for a long[].");
            // An exporter may leave out the format even when asked for it; it reads as "B".
            py.exec("mv = memoryview(array.array('i', [7]))\n"
                    + "words = (ctypes.c_void_p * 16).from_address(id(mv))\n"
                    + "at = id(mv) + 8 * [w for w in words].index(mv.obj.buffer_info()[0])\n"
                    + "assert ctypes.c_ssize_t.from_address(at + 24).value == 4  # view.itemsize\n"
                    + "fmt = ctypes.c_void_p.from_address(at + 40)  # view.format\n"
                    + "saved, fmt.value = fmt.value, None");
            try {
                assertRaises(py, "mv", int[].class, "<class 'TypeError'>: Buffer format 'B' is not valid for a int[].");
                assertInstanceOf(PyObject.class, py.getValue("mv", Object.class));
            } finally {
                py.exec("fmt.value = saved");
            }
            // Unsigned 16-bit items fit no Java element type: wrapped instead.
            assertInstanceOf(PyObject.class, py.getValue("array.array('H', [1])", Object.class));
        }
    }

    @Test
    void fortranOrderedAndIndirectBuffersComeInRowMajorOrder() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("try:\n    import _testbuffer as tb\nexcept ImportError:\n    tb = None\n");
            assumeTrue(py.getValue("tb is not None", Boolean.class), "CPython's _testbuffer is not installed");
            // Logically [[0, 2, 4], [1, 3, 5]]; its memory holds 0..5 column by column.
            py.exec("f = tb.ndarray(list(range(6)), shape=[2, 3], format='i', flags=tb.ND_FORTRAN)");
            assertArrayEquals(new int[] {0, 2, 4, 1, 3, 5}, py.getValue("f", int[].class));
            py.exec("p = tb.ndarray(list(range(6)), shape=[2, 3], format='i', flags=tb.ND_PIL)");
            assertArrayEquals(new int[] {0, 1, 2, 3, 4, 5}, py.getValue("p", int[].class));
        }
    }

    @Test
    void buffersTooLargeForAJavaArrayRaiseOverflowError() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import mmap\ntry:\n    m = mmap.mmap(-1, 2**32 + 8)\n    big = memoryview(m)\n"
                    + "except (OSError, OverflowError, ValueError, MemoryError):\n    big = None\n");
            assumeTrue(py.getValue("big is not None", Boolean.class), "no 4 GiB anonymous mapping here");
            assertRaisesType(py, "big", Object.class, "OverflowError");
            assertRaisesType(py, "big", byte[].class, "OverflowError");
            py.exec("big.release()\nm.close()");
        }
    }

    @Test
    void callablesAndOtherObjects() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import sys\ns = {1}\nf = lambda: None\nbase = sys.getrefcount(s)");
            try (PyObject set = (PyObject) py.getValue("s", Object.class)) {
                assertEquals(PyObject.class, set.getClass());
                Py.check(py, "sys.getrefcount(s) == base + 1");
            }
            Py.check(py, "sys.getrefcount(s) == base");
            assertEquals("{1}", py.getValue("s", String.class));
            assertRaises(py, "s", Integer.class, "<class 'TypeError'>: Expected java.lang.Integer but received a set.");
            assertInstanceOf(PyObject.class, py.getValue("[1]", PyObject.class));
            assertInstanceOf(PyObject.class, py.getValue("b'x'", PyObject.class));

            assertInstanceOf(PyCallable.class, py.getValue("f", Object.class));
            assertInstanceOf(PyCallable.class, py.getValue("len", PyObject.class));
            Runnable r = py.getValue("f", Runnable.class);
            assertTrue(java.lang.reflect.Proxy.isProxyClass(r.getClass()));
            assertTrue(py.getValue("f", String.class).startsWith("<function <lambda>"));
            assertRaises(py, "f", Comparator.class,
                    "<class 'TypeError'>: Expected java.util.Comparator but received a function.");
        }
    }

    @Test
    void javaObjectsComeBackThemselves() {
        try (Interpreter py = new SubInterpreter()) {
            ArrayList<String> list = new ArrayList<>(List.of("a"));
            int[] array = {1, 2};
            py.set("jl", list);
            py.set("ja", array);
            py.set("jc", String.class);
            assertTrue(list == py.getValue("jl", List.class));
            assertTrue(array == py.getValue("ja", Object.class));
            assertTrue(String.class == py.getValue("jc", Class.class));
            assertTrue(Py.raises(() -> py.getValue("jl", String.class)).getMessage()
                    .startsWith("<class 'TypeError'>: Expected java.lang.String but received a "));
            assertRaises(py, "jc", String.class,
                    "<class 'TypeError'>: Expected java.lang.String but received a java.lang.Class.");
        }
    }
}
