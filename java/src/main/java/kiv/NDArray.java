package kiv;

import java.util.Arrays;
import java.util.Objects;

/**
 * A Java primitive array seen as an n-dimensional NumPy array, in row-major order.
 * Handed to Python it becomes an ndarray holding a copy of the data; an ndarray handed
 * to Java where an {@code Object} is expected becomes one of these.
 * <p>
 * The data is any primitive array except {@code char[]}, and holds exactly as many
 * elements as the dimensions need. {@code unsigned} makes byte, short, int and long
 * data unsigned on the Python side (uint8 ... uint64; it is ignored for boolean, float
 * and double): the Java array holds the same bits, so a uint8 of 200 is the byte -56.
 * The data array is kept, not copied.
 *
 * <pre>
 * py.set("a", new NDArray(new double[] {1, 2, 3, 4, 5, 6}, 2, 3));  // a.shape == (2, 3)
 * NDArray b = (NDArray) py.getValue("a * 2");
 * </pre>
 */
public final class NDArray {
    private final Object data;
    private final boolean unsigned;
    private final int[] dims;

    /**
     * A one-dimensional, signed array over all of {@code data}.
     *
     * @param data a boolean, byte, short, int, long, float or double array
     * @throws IllegalArgumentException if the data is not such an array
     */
    public NDArray(Object data) {
        this(data, false, new int[] {lengthOf(data)});
    }

    /**
     * A signed array of the given dimensions.
     *
     * @param data a boolean, byte, short, int, long, float or double array
     * @param dims the dimensions, outermost first
     * @throws IllegalArgumentException as {@link #NDArray(Object, boolean, int...)}
     */
    public NDArray(Object data, int... dims) {
        this(data, false, dims);
    }

    /**
     * An array of the given dimensions.
     *
     * @param data a boolean, byte, short, int, long, float or double array
     * @param unsigned whether Python sees the integers as unsigned (uint8 ... uint64)
     * @param dims the dimensions, outermost first
     * @throws IllegalArgumentException if the data is not a supported primitive array, the
     *         dimensions are empty or negative, or they need another number of elements
     *         than the data has
     */
    public NDArray(Object data, boolean unsigned, int... dims) {
        int length = lengthOf(data);
        this.data = data;
        this.unsigned = unsigned;
        this.dims = checkDimensions(dims, length, "the data array has " + length + " elements");
        long needed = product(this.dims);
        if (needed != length) {
            throw new IllegalArgumentException("dimensions " + Arrays.toString(dims) + " need " + needed
                    + " elements but the data array has " + length);
        }
    }

    /**
     * The dimensions.
     *
     * @return a copy of the dimensions, outermost first
     */
    public int[] getDimensions() {
        return dims.clone();
    }

    /**
     * The data.
     *
     * @return the primitive array itself (not a copy)
     */
    public Object getData() {
        return data;
    }

    /**
     * Whether Python sees the integers as unsigned.
     *
     * @return the flag given to the constructor (false by default)
     */
    public boolean isUnsigned() {
        return unsigned;
    }

    private static int lengthOf(Object data) {
        Objects.requireNonNull(data, "data");
        Class<?> component = data.getClass().getComponentType();
        if (component == null || !component.isPrimitive() || component == char.class) {
            throw new IllegalArgumentException("NDArray data must be a boolean, byte, short, int, long, float or "
                    + "double array, not " + data.getClass().getTypeName());
        }
        return java.lang.reflect.Array.getLength(data);
    }

    /**
     * Validates dimensions (at least one, none negative, at most NumPy's 64) against the
     * number of elements available and returns a private copy of them.
     */
    static int[] checkDimensions(int[] dims, long available, String what) {
        Objects.requireNonNull(dims, "dims");
        if (dims.length == 0) {
            throw new IllegalArgumentException("at least one dimension is needed");
        }
        if (dims.length > MAX_DIMENSIONS) {
            throw new IllegalArgumentException("at most " + MAX_DIMENSIONS + " dimensions, not " + dims.length);
        }
        for (int d : dims) {
            if (d < 0) {
                throw new IllegalArgumentException("dimensions must not be negative: " + Arrays.toString(dims));
            }
        }
        if (product(dims) > available) {
            throw new IllegalArgumentException("dimensions " + Arrays.toString(dims) + " need more elements than "
                    + what);
        }
        return dims.clone();
    }

    /** NumPy's limit on the number of dimensions. */
    static final int MAX_DIMENSIONS = 64;

    /** The product of non-negative dimensions, or Long.MAX_VALUE where it overflows. */
    static long product(int[] dims) {
        long product = 1;
        for (int d : dims) {
            if (d == 0) {
                return 0;
            }
            if (product > Long.MAX_VALUE / d) {
                product = Long.MAX_VALUE; // still checked for a later 0
            } else {
                product *= d;
            }
        }
        return product;
    }

    @Override
    public boolean equals(Object o) {
        if (this == o) {
            return true;
        }
        if (!(o instanceof NDArray)) {
            return false;
        }
        NDArray other = (NDArray) o;
        return unsigned == other.unsigned && Arrays.equals(dims, other.dims) && Objects.deepEquals(data, other.data);
    }

    @Override
    public int hashCode() {
        return 31 * (31 * Arrays.hashCode(dims) + Boolean.hashCode(unsigned)) + Arrays.deepHashCode(new Object[] {data});
    }

    @Override
    public String toString() {
        return "NDArray[" + data.getClass().getComponentType() + (unsigned ? " unsigned" : "") + ", dims="
                + Arrays.toString(dims) + "]";
    }
}
