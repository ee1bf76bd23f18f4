package kiv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.WeakReference;
import java.lang.reflect.Field;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.DoubleBuffer;
import java.nio.IntBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * NumPy values to Java and kiv.NDArray / kiv.DirectNDArray to NumPy, in shared
 * interpreters (where NumPy loads), and the errors where NumPy cannot be used.
 */
class NumpyTest {

    /** One primitive array of each NumPy-compatible type, 24 elements with the extremes. */
    private static List<Object> everyKindOfData() {
        boolean[] z = new boolean[24];
        byte[] b = new byte[24];
        short[] s = new short[24];
        int[] i = new int[24];
        long[] l = new long[24];
        float[] f = new float[24];
        double[] d = new double[24];
        for (int k = 0; k < 24; k++) {
            z[k] = k % 3 == 0;
            b[k] = (byte) (k * 37 - 100);
            s[k] = (short) (k * 3001 - 30000);
            i[k] = k * 178956970 - Integer.MAX_VALUE;
            l[k] = k * 768614336404564650L - Long.MAX_VALUE;
            f[k] = (k - 12) * 0.1f;
            d[k] = (k - 12) / 3.0;
        }
        b[0] = Byte.MIN_VALUE;
        b[1] = Byte.MAX_VALUE;
        b[2] = -1;
        s[0] = Short.MIN_VALUE;
        s[1] = -1;
        i[0] = Integer.MIN_VALUE;
        i[1] = -1;
        l[0] = Long.MIN_VALUE;
        l[1] = -1;
        f[0] = Float.MAX_VALUE;
        f[1] = Float.NEGATIVE_INFINITY;
        f[2] = Float.NaN;
        f[3] = Float.MIN_VALUE;
        d[0] = -Double.MAX_VALUE;
        d[1] = Double.POSITIVE_INFINITY;
        d[2] = Double.NaN;
        d[3] = Double.MIN_VALUE;
        return List.of(z, b, s, i, l, f, d);
    }

    /** The NumPy dtype name a kiv.NDArray of this data and sign becomes. */
    private static String dtypeOf(Object data, boolean unsigned) {
        Class<?> c = data.getClass().getComponentType();
        if (c == boolean.class) {
            return "bool";
        }
        if (c == float.class) {
            return "float32";
        }
        if (c == double.class) {
            return "float64";
        }
        int bits = c == byte.class ? 8 : c == short.class ? 16 : c == int.class ? 32 : 64;
        return (unsigned ? "uint" : "int") + bits;
    }

    /** The elements' bytes in this machine's order, as hexadecimal. */
    private static String nativeBytes(Object data) {
        int n = java.lang.reflect.Array.getLength(data);
        ByteBuffer out = ByteBuffer.allocate(n * 8).order(ByteOrder.nativeOrder());
        for (int k = 0; k < n; k++) {
            Object v = java.lang.reflect.Array.get(data, k);
            if (v instanceof Boolean) {
                out.put((byte) ((Boolean) v ? 1 : 0));
            } else if (v instanceof Byte) {
                out.put((Byte) v);
            } else if (v instanceof Short) {
                out.putShort((Short) v);
            } else if (v instanceof Integer) {
                out.putInt((Integer) v);
            } else if (v instanceof Long) {
                out.putLong((Long) v);
            } else if (v instanceof Float) {
                out.putFloat((Float) v);
            } else {
                out.putDouble((Double) v);
            }
        }
        return HexFormat.of().formatHex(out.array(), 0, out.position());
    }

    @Test
    void everyDtypeRoundTripsExactlyIn1dAnd3d() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");
            for (Object data : everyKindOfData()) {
                Class<?> c = data.getClass().getComponentType();
                boolean[] signs = c == boolean.class || c == float.class || c == double.class
                        ? new boolean[] {false} : new boolean[] {false, true};
                for (boolean unsigned : signs) {
                    for (int[] dims : new int[][] {{24}, {2, 3, 4}}) {
                        String what = dtypeOf(data, unsigned) + " " + java.util.Arrays.toString(dims);
                        NDArray in = new NDArray(data, unsigned, dims);
                        py.set("a", in);
                        Py.check(py, "type(a) is np.ndarray and a.dtype == np.dtype('" + dtypeOf(data, unsigned)
                                + "') and a.shape == " + (dims.length == 1 ? "(24,)" : "(2, 3, 4)"));
                        Py.check(py, "a.tobytes() == bytes.fromhex('" + nativeBytes(data) + "')");
                        NDArray back = py.getValue("a", NDArray.class);
                        assertEquals(in, back, what);
                        assertArrayEquals(dims, back.getDimensions(), what);
                        assertEquals(unsigned, back.isUnsigned(), what);
                        // the same elements as a plain array of the element type, flattened
                        Object flat = py.getValue("a", data.getClass());
                        assertTrue(java.util.Objects.deepEquals(data, flat), what);
                    }
                }
            }
            // values as NumPy reads them: unsigned through the flag, row-major indexing
            py.set("u", new NDArray(new byte[] {(byte) 200, -1, 0, 1}, true, 2, 2));
            Py.check(py, "u.dtype == np.uint8 and u.tolist() == [[200, 255], [0, 1]]");
            py.set("v", new NDArray(new long[] {-1, Long.MIN_VALUE}, true, 2));
            Py.check(py, "v.dtype == np.uint64 and v.tolist() == [2**64 - 1, 2**63]");
            py.set("t", new NDArray(new int[] {0, 1, 2, 3, 4, 5, 6, 7}, 2, 2, 2));
            Py.check(py, "t[1, 0, 1] == 5 and t[0, 1, 0] == 2");
        }
    }

    @Test
    void numpyScalarsBecomeTheBoxAsked() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");
            assertEquals(1.5f, py.getValue("np.float32(1.5)", Float.class));
            assertEquals(1.5f, py.getValue("np.float32(1.5)", Object.class));
            assertEquals(1.5, py.getValue("np.float32(1.5)", Double.class));
            assertEquals(2.5, py.getValue("np.float64(2.5)", Object.class));
            assertEquals(2.5f, py.getValue("np.float64(2.5)", Float.class));
            assertEquals(Float.POSITIVE_INFINITY, py.getValue("np.float64(1e300)", Float.class));
            assertEquals(300L, py.getValue("np.int64(300)", Object.class));
            assertEquals(300L, py.getValue("np.int64(300)", Number.class));
            assertEquals(300, py.getValue("np.int64(300)", Integer.class));
            assertEquals((short) 300, py.getValue("np.int64(300)", Short.class));
            KivException e = Py.raises(() -> py.getValue("np.int64(300)", Byte.class));
            assertTrue(e.getMessage().startsWith(
                    "<class 'OverflowError'>: 300 is outside the valid range of a Java byte"), e.getMessage());
            e = Py.raises(() -> py.getValue("np.int64(2**40)", Integer.class));
            assertTrue(e.getMessage().startsWith("<class 'OverflowError'>"), e.getMessage());
            assertEquals(7, py.getValue("np.int32(7)", Object.class));
            assertEquals(7L, py.getValue("np.int32(7)", Long.class));
            assertEquals((short) -5, py.getValue("np.int16(-5)", Object.class));
            assertEquals(-5, py.getValue("np.int16(-5)", Integer.class));
            assertEquals((byte) 5, py.getValue("np.int8(5)", Object.class));
            assertEquals(5L, py.getValue("np.int8(5)", Long.class));
            assertEquals(-9L, py.getValue("np.longlong(-9)", Object.class));
            // kinds without a box stay Python objects, or are refused
            assertInstanceOf(kiv.python.PyObject.class, py.getValue("np.uint8(5)", Object.class));
            e = Py.raises(() -> py.getValue("np.uint8(5)", Integer.class));
            assertEquals("<class 'TypeError'>: Expected java.lang.Integer but received a numpy.uint8.", e.getMessage());
            e = Py.raises(() -> py.getValue("np.int64(5)", Double.class));
            assertTrue(e.getMessage().contains("Expected java.lang.Double but received a numpy.int64"), e.getMessage());
            assertInstanceOf(kiv.python.PyObject.class, py.getValue("np.complex128(1j)", Object.class));
        }
    }

    @Test
    void anyLayoutArrivesInRowMajorOrderWithItsValues() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np\n"
                    + "c = np.arange(6, dtype=np.int32).reshape(2, 3)\n"
                    + "big = np.arange(6, dtype='>i4').reshape(2, 3)\n"
                    + "x = np.arange(120, dtype=np.int64).reshape(4, 5, 6)[::2, 1::2, ::-3]\n"
                    + "raw = np.frombuffer(b'\\0' + np.arange(4, dtype=np.int32).tobytes(), dtype=np.int32, offset=1)");
            assertArrayEquals(new int[] {0, 1, 2, 3, 4, 5}, py.getValue("c", int[].class));
            assertArrayEquals(new int[] {0, 3, 1, 4, 2, 5}, py.getValue("c.T", int[].class));
            assertArrayEquals(new int[] {0, 1, 2, 3, 4, 5}, py.getValue("np.asfortranarray(c)", int[].class));
            assertArrayEquals(new int[] {0, 2, 4}, py.getValue("c.ravel()[::2]", int[].class));
            // byte-swapped, also in Fortran order
            assertArrayEquals(new int[] {0, 1, 2, 3, 4, 5}, py.getValue("big", int[].class));
            assertArrayEquals(new int[] {0, 3, 1, 4, 2, 5}, py.getValue("big.T", int[].class));
            assertArrayEquals(new double[] {1.5, -2}, py.getValue("np.array([1.5, -2], dtype='>f8')", double[].class));
            // a strided 3-D view, against NumPy's own row-major order
            Py.check(py, "not x.flags.c_contiguous");
            long[] strided = py.getValue("x", long[].class);
            assertArrayEquals(py.getValue("x.ravel().tolist()", long[].class), strided);
            NDArray nd = py.getValue("x", NDArray.class);
            assertArrayEquals(new int[] {2, 2, 2}, nd.getDimensions());
            assertArrayEquals(strided, (long[]) nd.getData());
            // memory that is not aligned for its type
            Py.check(py, "not raw.flags.aligned");
            assertArrayEquals(new int[] {0, 1, 2, 3}, py.getValue("raw", int[].class));
            // NumPy's bool may hold any byte; Java's is 0 or 1
            boolean[] z = py.getValue("np.frombuffer(b'\\x00\\x02\\x01\\xff', dtype=bool)", boolean[].class);
            assertTrue(java.util.Arrays.equals(new boolean[] {false, true, true, true}, z));
            // long long is int64 too; unsigned short arrives with its flag
            assertArrayEquals(new long[] {1, -2}, py.getValue("np.array([1, -2], dtype=np.longlong)", long[].class));
            NDArray u = py.getValue("np.array([[1, 65535]], dtype=np.uint16)", NDArray.class);
            assertTrue(u.isUnsigned());
            assertArrayEquals(new short[] {1, -1}, (short[]) u.getData());
            assertArrayEquals(new int[] {1, 2}, u.getDimensions());
            assertArrayEquals(new short[] {1, -1}, py.getValue("np.array([1, 65535], dtype=np.uint16)", short[].class));
            // empty arrays keep their shape; a 0-d array fills a one-element array
            NDArray empty = py.getValue("np.zeros((0, 3))", NDArray.class);
            assertArrayEquals(new int[] {0, 3}, empty.getDimensions());
            assertEquals(0, ((double[]) empty.getData()).length);
            assertArrayEquals(new int[] {5}, py.getValue("np.array(5, dtype=np.int32)", int[].class));
            KivException e = Py.raises(() -> py.getValue("np.array(5, dtype=np.int32)", Object.class));
            assertEquals("<class 'ValueError'>: ndarrays must have at least one dimension", e.getMessage());
        }
    }

    @Test
    void unsupportedDtypesMismatchedClassesAndOversizedArraysAreRefused() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");
            String[][] refused = {{"np.zeros(2, dtype=np.complex128)", "15 (dtype complex128)"},
                {"np.array([None, 1], dtype=object)", "17 (dtype object)"},
                {"np.array(['ab', 'c'])", "19 (dtype <U2)"}, {"np.zeros(2, dtype=np.float16)", "23 (dtype float16)"},
                {"np.zeros(2, dtype='S3')", "18 (dtype |S3)"}};
            for (String[] r : refused) {
                for (Class<?> target : List.of(Object.class, double[].class, NDArray.class)) {
                    KivException e = Py.raises(() -> py.getValue(r[0], target));
                    assertEquals("<class 'TypeError'>: Unable to determine corresponding Java type for ndarray: "
                            + r[1], e.getMessage(), r[0] + " as " + target);
                }
            }
            for (String[] r : new String[][] {{"np.zeros(2, dtype=np.float32)", "[I"}, {"np.zeros(2)", "[J"},
                {"np.zeros(2, dtype=np.uint8)", "[S"}}) {
                KivException e = Py.raises(() -> py.getValue(r[0], Class.forName(r[1])));
                assertEquals("<class 'RuntimeError'>: Error matching ndarray.dtype to Java primitive type",
                        e.getMessage());
            }
            // more elements, or a longer dimension, than a Java array can have: refused before any
            // copy (these arrays take no memory: a broadcast view, and an empty array)
            KivException e = Py.raises(() -> py.getValue("np.broadcast_to(np.int8(1), (2**31,))", byte[].class));
            assertEquals("<class 'ValueError'>: ndarray too large for a Java array: 2147483648 elements",
                    e.getMessage());
            e = Py.raises(() -> py.getValue("np.broadcast_to(np.int8(1), (2**16, 2**16))", Object.class));
            assertTrue(e.getMessage().startsWith("<class 'ValueError'>: ndarray too large for a Java array"),
                    e.getMessage());
            e = Py.raises(() -> py.getValue("np.zeros((0, 2**33), dtype=np.int8)", Object.class));
            assertEquals("<class 'ValueError'>: ndarray too large for a Java array: dimension 1 is 8589934592",
                    e.getMessage());
            assertEquals(0, py.getValue("np.zeros((0, 2**33), dtype=np.int8)", byte[].class).length);
            // the interpreter is fine afterwards
            assertArrayEquals(new float[] {0, 0}, py.getValue("np.zeros(2, dtype=np.float32)", float[].class));
        }
    }

    @Test
    void ndArraysReachPythonAsCopies() {
        try (Interpreter py = new SharedInterpreter()) {
            double[] data = {1, 2, 3, 4, 5, 6};
            py.set("a", new NDArray(data, 2, 3));
            Py.check(py, "a.shape == (2, 3) and a.dtype.name == 'float64' and a[1, 2] == 6.0");
            data[0] = 100;
            py.exec("a[0, 1] = -1.0");
            Py.check(py, "a[0, 0] == 1.0");
            assertEquals(2.0, data[1]);
            // an ndarray computed in Python comes back as a new NDArray
            NDArray twice = (NDArray) py.getValue("a * 2");
            assertArrayEquals(new double[] {2, -2, 6, 8, 10, 12}, (double[]) twice.getData());
            // empty and single-element shapes
            py.set("e", new NDArray(new float[0], 3, 0));
            Py.check(py, "e.shape == (3, 0) and e.dtype.name == 'float32'");
            py.set("one", new NDArray(new boolean[] {true}, 1, 1, 1));
            Py.check(py, "one.shape == (1, 1, 1) and one.dtype.name == 'bool' and one[0, 0, 0]");
            // as results of Java methods too
            py.set("rows", new ArrayList<>(List.of(new NDArray(new int[] {1, 2}), new NDArray(new long[] {3}))));
            Py.check(py, "type(rows.get(0)).__name__ == 'ndarray' and rows.get(1).dtype.name == 'int64'");
        }
    }

    private static void setField(Object target, String name, Object value) throws ReflectiveOperationException {
        Field f = target.getClass().getDeclaredField(name);
        f.setAccessible(true);
        f.set(target, value);
    }

    @Test
    void inconsistentArraysAreRefusedBeforeAnyCopy() throws Exception {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");
            // objects made past the constructors' checks
            Object[][] cases = {
                {new int[] {3, 3}, null, "ValueError", "dimensions need 9 elements but its data holds 4"},
                {new int[] {2, 3}, null, "ValueError", "dimensions need 6 elements but its data holds 4"},
                {new int[] {-2, -2}, null, "ValueError", "negative dimension: -2"},
                {new int[] {65536, 65536, 65536, 65536, 65536}, null, "ValueError", "product overflows"},
                {new int[0], null, "ValueError", "ndarrays must have at least one dimension"},
                {new int[65], null, "ValueError", "NumPy allows at most 64"},
                {new int[] {4}, new char[4], "TypeError",
                    "data must be a boolean, byte, short, int, long, float or double array"},
                {new int[] {4}, new Integer[4], "TypeError", "data must be a boolean"}};
            for (Object[] c : cases) {
                NDArray a = new NDArray(new int[4], 4);
                setField(a, "dims", c[0]);
                if (c[1] != null) {
                    setField(a, "data", c[1]);
                }
                KivException e = Py.raises(() -> py.set("bad", a));
                assertTrue(e.getMessage().startsWith("<class '" + c[2] + "'>"), e.getMessage());
                assertTrue(e.getMessage().contains((String) c[3]), e.getMessage());
            }
            Py.check(py, "'bad' not in globals()");
            IntBuffer ints = ByteBuffer.allocateDirect(16).asIntBuffer();
            DirectNDArray d = new DirectNDArray(ints, 4);
            setField(d, "dims", new int[] {5});
            KivException e = Py.raises(() -> py.set("bad", d));
            assertEquals("<class 'ValueError'>: kiv.DirectNDArray dimensions need 5 elements but its buffer holds 4",
                    e.getMessage());
            setField(d, "dims", new int[] {4});
            setField(d, "data", IntBuffer.allocate(4));
            e = Py.raises(() -> py.set("bad", d));
            assertEquals("<class 'TypeError'>: kiv.DirectNDArray data must be a direct "
                    + "Byte/Short/Int/Long/Float/DoubleBuffer", e.getMessage());
            setField(d, "data", ByteBuffer.allocateDirect(8).asCharBuffer());
            Py.raises(() -> py.set("bad", d));
            // and nothing is left behind
            py.set("good", new NDArray(new int[] {7}));
            Py.check(py, "good[0] == 7");
        }
    }

    @Test
    void directArraysShareTheBuffersMemory() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");
            IntBuffer ints = ByteBuffer.allocateDirect(24).order(ByteOrder.nativeOrder()).asIntBuffer();
            DirectNDArray d = new DirectNDArray(ints, 2, 3);
            py.set("a", d);
            Py.check(py, "a.dtype == np.int32 and a.dtype.isnative and a.shape == (2, 3)");
            Py.check(py, "a.flags.writeable and a.flags.aligned and not a.flags.owndata");
            py.exec("a[1, 2] = 7");
            assertEquals(7, ints.get(5));
            ints.put(0, 42);
            Py.check(py, "a[0, 0] == 42");
            // the same Java object comes back; a view of it is copied into an NDArray
            assertSame(d, py.getValue("a"));
            assertSame(d, py.getValue("a", DirectNDArray.class));
            NDArray tail = py.getValue("a[1]", NDArray.class);
            assertArrayEquals(new int[] {0, 0, 7}, (int[]) tail.getData());
            assertInstanceOf(NDArray.class, py.getValue("a[1:]"));

            // a big-endian buffer keeps its byte order
            IntBuffer big = ByteBuffer.allocateDirect(8).order(ByteOrder.BIG_ENDIAN).asIntBuffer();
            big.put(0, 0x01020304).put(1, -2);
            py.set("b", new DirectNDArray(big));
            Py.check(py, "b.dtype.byteorder == '>' and b.tolist() == [0x01020304, -2]");
            py.exec("b[1] = 0x0A0B0C0D");
            assertEquals(0x0A0B0C0D, big.get(1));

            // unsigned, read-only and misaligned buffers
            ByteBuffer bytes = ByteBuffer.allocateDirect(4);
            bytes.put(0, (byte) 200);
            py.set("u", new DirectNDArray(bytes, true, 2, 2));
            Py.check(py, "u.dtype == np.uint8 and u[0, 0] == 200");
            py.set("r", new DirectNDArray(ints.asReadOnlyBuffer(), 6));
            Py.check(py, "not r.flags.writeable and r[0] == 42");
            KivException e = Py.raises(() -> py.exec("r[0] = 1"));
            assertTrue(e.getMessage().startsWith("<class 'ValueError'>"), e.getMessage());
            assertEquals(42, ints.get(0));
            ByteBuffer odd = ByteBuffer.allocateDirect(17).position(1).slice().order(ByteOrder.nativeOrder());
            DoubleBuffer doubles = odd.asDoubleBuffer();
            doubles.put(0, 1.25).put(1, -3.5);
            py.set("m", new DirectNDArray(doubles));
            Py.check(py, "not m.flags.aligned and m.tolist() == [1.25, -3.5] and m.sum() == -2.25");
            // dimensions may use part of the buffer
            py.set("part", new DirectNDArray(ints, 2));
            Py.check(py, "part.tolist() == [42, 0]");
        }
    }

    /** Fills a new 1 MB direct buffer, hands it to Python and keeps only a weak reference. */
    private static WeakReference<ByteBuffer> handOver(Interpreter py) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(1 << 20).order(ByteOrder.nativeOrder());
        for (int k = 0; k < buffer.capacity() / 8; k++) {
            buffer.putLong(k * 8, k);
        }
        py.set("kept", new DirectNDArray(buffer.asLongBuffer()));
        return new WeakReference<>(buffer);
    }

    private static boolean collected(WeakReference<?> ref) throws InterruptedException {
        for (int k = 0; k < 50 && ref.get() != null; k++) {
            System.gc();
            Thread.sleep(20);
        }
        return ref.get() == null;
    }

    @Test
    void anNdarrayKeepsItsDirectBufferAlive() throws Exception {
        try (Interpreter py = new SharedInterpreter()) {
            WeakReference<ByteBuffer> ref = handOver(py);
            // garbage that makes the collector run and reuse memory
            List<ByteBuffer> churn = new ArrayList<>();
            for (int k = 0; k < 64; k++) {
                churn.add(ByteBuffer.allocateDirect(1 << 16));
            }
            churn.clear();
            assertFalse(collected(ref), "the buffer went while the ndarray still uses it");
            Py.check(py, "kept.shape == (131072,) and kept[-1] == 131071 and int(kept.sum()) == 131071 * 131072 // 2");
            py.exec("view = kept[10:20]\ndel kept");
            assertFalse(collected(ref), "a view keeps the buffer too");
            Py.check(py, "view[0] == 10");
            py.exec("del view");
            assertTrue(collected(ref), "the buffer outlives every ndarray over it");
        }
    }

    @Test
    void isolatedSubInterpretersSayHowToUseNumpy() {
        try (Interpreter shared = new SharedInterpreter()) {
            // NumPy ready in the process first: the sub-interpreter must still not use it
            shared.set("a", new NDArray(new int[] {1, 2}));
            Py.check(shared, "a.sum() == 3");
        }
        try (Interpreter py = new SubInterpreter()) {
            for (Object value : List.of(new NDArray(new int[] {1, 2}),
                    new DirectNDArray(ByteBuffer.allocateDirect(8).asIntBuffer()))) {
                KivException e = Py.raises(() -> py.set("a", value));
                assertTrue(e.getMessage().startsWith("<class 'ImportError'>: NumPy cannot be loaded in this "
                        + "sub-interpreter"), e.getMessage());
                assertTrue(e.getMessage().contains("Use a SharedInterpreter, or a SubInterpreter made with "
                        + "SubInterpreterOptions.legacy() in a process where no other interpreter loaded NumPy"),
                        e.getMessage());
            }
            // Conversions without NumPy values neither import NumPy nor look for it.
            py.exec(NumpyProbe.RECORD_IMPORTS
                    + "class MyInt(int): pass\n"
                    + "import array\n"
                    + "values = [MyInt(3), {1, 2}, array.array('i', [1, 2]), 2.5, [1, (2, 3)], object()]");
            for (int k = 0; k < 6; k++) {
                assertNotNull(py.getValue("values[" + k + "]", Object.class));
            }
            assertEquals(3L, py.getValue("values[0]", Long.class));
            Py.check(py, NumpyProbe.NUMPY_NOT_ASKED);
        }
    }

    @Test
    void numpyLoadsIntoOneInterpreterOnly() throws Exception {
        try (Interpreter shared = new SharedInterpreter()) {
            shared.exec("import numpy");
        }
        // NumPy refuses a second interpreter of the process, even a legacy one
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.legacy())) {
            KivException e = Py.raises(() -> py.set("a", new NDArray(new int[] {1, 2})));
            assertTrue(e.getMessage().startsWith("<class 'ImportError'>: NumPy cannot be loaded in this "
                    + "sub-interpreter"), e.getMessage());
        }
        // A legacy sub-interpreter that loads it first uses it.
        ChildJvm.Result r = ChildJvm.main("kiv.NumpyProbe").args("legacy").run().assertNoJniProblems();
        r.assertExit(0);
        assertTrue(r.stdout.contains("legacy ok"), r.toString());
    }

    @Test
    void anEnvironmentWithoutNumpySaysWhatToInstall(@TempDir Path tmp) throws Exception {
        String python = BuildInfo.pythonExecutable();
        assertNotNull(python, "the build records the Python it was built with");
        Path venv = tmp.resolve("no-numpy");
        Process make = new ProcessBuilder(python, "-m", "venv", "--without-pip", venv.toString()).inheritIO().start();
        assertEquals(0, make.waitFor());
        ChildJvm.Result r = ChildJvm.main("kiv.NumpyProbe").args("absent")
                .jvmOptions("-Dkiv.python.executable=" + venv.resolve("bin").resolve("python3.12"))
                .timeout(Duration.ofSeconds(120)).run().assertNoJniProblems();
        r.assertExit(0);
        assertTrue(r.stdout.contains("plain conversions ok"), r.toString());
        assertTrue(r.stdout.contains(
                "<class 'ImportError'>: NumPy is not installed in the Python environment Kiv runs (" + venv),
                r.toString());
        assertTrue(r.stdout.contains(venv + "/bin/python3.12 -m pip install numpy"), r.toString());
        assertTrue(r.stdout.contains("kiv.python.executable"), r.toString());
    }
}
