package kiv;

import java.nio.Buffer;
import java.nio.ByteBuffer;
import java.nio.DoubleBuffer;
import java.nio.FloatBuffer;
import java.nio.IntBuffer;
import java.nio.LongBuffer;
import java.nio.ShortBuffer;
import java.util.Arrays;
import java.util.Objects;

/**
 * A direct NIO buffer seen as an n-dimensional NumPy array, in row-major order. Handed
 * to Python it becomes an ndarray over the buffer's own memory, without a copy and in
 * constant time, with the buffer's byte order: writes on either side are seen by the
 * other, and the ndarray handed back to Java gives this same object. The ndarray keeps
 * this object, and so the buffer, alive as long as it exists.
 * <p>
 * The buffer must be direct, and a byte, short, int, long, float or double buffer. A
 * read-only buffer gives a read-only ndarray. The ndarray starts at the buffer's first
 * element whatever its position, so the dimensions are checked against the capacity.
 * Neither side orders its accesses against the other's: threads that share the memory
 * synchronise by other means.
 *
 * <pre>
 * DoubleBuffer buf = ByteBuffer.allocateDirect(8 * 6).order(ByteOrder.nativeOrder()).asDoubleBuffer();
 * py.set("a", new DirectNDArray(buf, 2, 3));
 * py.exec("a[1, 2] = 7.5");   // buf.get(5) == 7.5
 * </pre>
 */
public final class DirectNDArray {
    private final Buffer data;
    private final boolean unsigned;
    private final int[] dims;

    /**
     * A one-dimensional, signed array over the whole buffer.
     *
     * @param data a direct byte, short, int, long, float or double buffer
     * @throws IllegalArgumentException if the buffer is not direct or of a supported kind
     */
    public DirectNDArray(Buffer data) {
        this(data, false, new int[] {capacityOf(data)});
    }

    /**
     * A signed array of the given dimensions over the buffer.
     *
     * @param data a direct byte, short, int, long, float or double buffer
     * @param dims the dimensions, outermost first
     * @throws IllegalArgumentException as {@link #DirectNDArray(Buffer, boolean, int...)}
     */
    public DirectNDArray(Buffer data, int... dims) {
        this(data, false, dims);
    }

    /**
     * An array of the given dimensions over the buffer.
     *
     * @param data a direct byte, short, int, long, float or double buffer
     * @param unsigned whether Python sees the integers as unsigned (uint8 ... uint64)
     * @param dims the dimensions, outermost first
     * @throws IllegalArgumentException if the buffer is not direct or of a supported
     *         kind, the dimensions are empty or negative, or they need more elements than
     *         the buffer's capacity
     */
    public DirectNDArray(Buffer data, boolean unsigned, int... dims) {
        int capacity = capacityOf(data);
        this.data = data;
        this.unsigned = unsigned;
        this.dims = NDArray.checkDimensions(dims, capacity, "the buffer's capacity of " + capacity);
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
     * The buffer itself. Declared as {@code Object} because the native library looks this
     * method up by that exact signature; see {@link #getBuffer()} for a typed view.
     *
     * @return the buffer given to the constructor
     */
    public Object getData() {
        return data;
    }

    /**
     * The buffer itself.
     *
     * @return the buffer given to the constructor
     */
    public Buffer getBuffer() {
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

    private static int capacityOf(Buffer data) {
        Objects.requireNonNull(data, "data");
        if (!(data instanceof ByteBuffer || data instanceof ShortBuffer || data instanceof IntBuffer
                || data instanceof LongBuffer || data instanceof FloatBuffer || data instanceof DoubleBuffer)) {
            throw new IllegalArgumentException("DirectNDArray data must be a byte, short, int, long, float or double "
                    + "buffer, not " + data.getClass().getName());
        }
        if (!data.isDirect()) {
            throw new IllegalArgumentException("DirectNDArray data must be a direct buffer");
        }
        return data.capacity();
    }

    @Override
    public String toString() {
        return "DirectNDArray[" + data.getClass().getSimpleName() + (unsigned ? " unsigned" : "") + ", dims="
                + Arrays.toString(dims) + "]";
    }
}
