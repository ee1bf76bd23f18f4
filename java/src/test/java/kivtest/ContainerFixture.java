package kivtest;

import java.util.AbstractCollection;
import java.util.AbstractList;
import java.util.AbstractMap;
import java.util.ArrayList;
import java.util.ConcurrentModificationException;
import java.util.HashMap;
import java.util.Iterator;
import java.util.List;
import java.util.Map;
import java.util.Set;

/** Java arrays, collections, numbers and closeables with chosen behaviour, for tests from Python. */
public final class ContainerFixture {
    private ContainerFixture() {
    }

    // ---- arrays ------------------------------------------------------------------------

    /** One array that every call of shared() returns, so Python holds it while Java changes it. */
    public static int[] sharedArray = new int[] {1, 2, 3};
    public static int[][] gridArray = new int[][] {{1, 2}, {3, 4}};

    public static int[] shared() {
        return sharedArray;
    }

    public static int readShared(int i) {
        return sharedArray[i];
    }

    public static void writeShared(int i, int v) {
        sharedArray[i] = v;
    }

    public static void resetShared() {
        sharedArray = new int[] {1, 2, 3};
        gridArray = new int[][] {{1, 2}, {3, 4}};
    }

    public static int sum(int[] a) {
        int s = 0;
        for (int v : a) {
            s += v;
        }
        return s;
    }

    /** Adds one to the first element. */
    public static void incr(int[] a) {
        a[0]++;
    }

    /** Sets the first element, then throws. */
    public static void writeThenThrow(int[] a) {
        a[0] = -1;
        throw new IllegalStateException("after writing");
    }

    public static int sum2d(int[][] a) {
        int s = 0;
        for (int[] row : a) {
            s += sum(row);
        }
        return s;
    }

    public static int[][] grid() {
        return gridArray;
    }

    public static int readGrid(int i, int j) {
        return gridArray[i][j];
    }

    public static Class<?>[] classes() {
        return new Class<?>[] {String.class, Integer.class};
    }

    public static double[] doubles() {
        return new double[] {0.1, 1e300, -0.0, Double.MIN_VALUE, 1.0 / 3};
    }

    public static int charAt(char[] a, int i) {
        return a[i];
    }

    public static String text(char[] a) {
        return new String(a);
    }

    public static long longAt(long[] a, int i) {
        return a[i];
    }

    public static String joined(String[] a) {
        return String.join(",", a);
    }

    private static int[] bigArray = new int[0];

    /** The same array of 0 .. n-1 on every call with the same n. */
    public static int[] bigShared(int n) {
        if (bigArray.length != n) {
            bigArray = new int[n];
            for (int i = 0; i < n; i++) {
                bigArray[i] = i;
            }
        }
        return bigArray;
    }

    // ---- iterables, iterators, collections ------------------------------------------------

    /** iterator() returns null. */
    public static final class NullIterable implements Iterable<Object> {
        @Override
        public Iterator<Object> iterator() {
            return null;
        }
    }

    /** Yields `good` elements, then next() throws although hasNext() said there was one. */
    public static final class ThrowingIterator implements Iterator<Integer> {
        private int left;

        public ThrowingIterator(int good) {
            left = good;
        }

        @Override
        public boolean hasNext() {
            return true;
        }

        @Override
        public Integer next() {
            if (left-- > 0) {
                return left;
            }
            throw new ConcurrentModificationException("changed underway");
        }
    }

    /** A collection whose size() throws, or returns the given (negative) value. */
    public static final class BadSizeCollection extends AbstractCollection<Object> {
        private final int size;

        public BadSizeCollection(int size) {
            this.size = size;
        }

        @Override
        public int size() {
            if (size == 0) {
                throw new UnsupportedOperationException("no size");
            }
            return size;
        }

        @Override
        public Iterator<Object> iterator() {
            return new ArrayList<>().iterator();
        }
    }

    /** One value of each boxed class, and the extremes of the widest. */
    public static List<Object> boxes() {
        return List.of((byte) -1, (short) -2, -3, Long.MIN_VALUE, 1.5f, Double.MAX_VALUE, true, '\u20ac');
    }

    public static Set<Integer> intSet() {
        return Set.of(1);
    }

    public static List<String> abc() {
        return new ArrayList<>(List.of("a", "b", "c"));
    }

    /** A list whose class has no public constructor. */
    public static List<String> noCtorList() {
        return new NoCtorList();
    }

    private static final class NoCtorList extends AbstractList<String> {
        private final List<String> items = new ArrayList<>(List.of("n"));

        private NoCtorList() {
        }

        @Override
        public String get(int i) {
            return items.get(i);
        }

        @Override
        public int size() {
            return items.size();
        }
    }

    /** A public ArrayList subclass: copies keep the class. */
    public static final class Named extends ArrayList<Object> {
        private static final long serialVersionUID = 1L;
    }

    // ---- maps ----------------------------------------------------------------------------

    public static Map<String, Integer> withNull() {
        Map<String, Integer> m = new HashMap<>();
        m.put("a", 1);
        m.put("b", null);
        return m;
    }

    public static Map<Integer, String> intKeys() {
        return new HashMap<>(Map.of(1, "x"));
    }

    /** keySet() and entrySet() return null. */
    public static final class NullViewsMap extends AbstractMap<String, String> {
        @Override
        public Set<Entry<String, String>> entrySet() {
            return null;
        }

        @Override
        public Set<String> keySet() {
            return null;
        }
    }

    /** A map whose class has Java methods named like the mapping protocol's. */
    public static final class ShadowingMap extends HashMap<String, Object> {
        private static final long serialVersionUID = 1L;

        public String keys(int ignored) {
            return "not keys";
        }

        public String items() {
            return "not items";
        }
    }

    /** size() says one more than the entries it iterates. */
    public static final class OverCountingMap extends AbstractMap<String, Integer> {
        private final Map<String, Integer> inner = new HashMap<>(Map.of("only", 1));

        @Override
        public Set<Entry<String, Integer>> entrySet() {
            return inner.entrySet();
        }

        @Override
        public int size() {
            return inner.size() + 1;
        }
    }

    // ---- numbers and closeables -------------------------------------------------------------

    /** A Number whose every value throws. */
    public static final class BadNumber extends Number {
        private static final long serialVersionUID = 1L;

        @Override
        public int intValue() {
            throw new ArithmeticException("no value");
        }

        @Override
        public long longValue() {
            throw new ArithmeticException("no value");
        }

        @Override
        public float floatValue() {
            throw new ArithmeticException("no value");
        }

        @Override
        public double doubleValue() {
            throw new ArithmeticException("no value");
        }
    }

    /** Counts its close() calls; throws from close() when asked to. */
    public static final class Closer implements AutoCloseable {
        public int closed;
        private final boolean fail;

        public Closer(boolean fail) {
            this.fail = fail;
        }

        @Override
        public void close() {
            closed++;
            if (fail) {
                throw new IllegalStateException("close failed");
            }
        }
    }
}
