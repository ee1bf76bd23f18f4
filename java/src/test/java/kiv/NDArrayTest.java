package kiv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.Buffer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.IntBuffer;
import java.util.List;

import org.junit.jupiter.api.Test;

class NDArrayTest {

    @Test
    void acceptsEveryNumericPrimitiveArray() {
        List<Object> arrays = List.of(new boolean[4], new byte[4], new short[4], new int[4], new long[4], new float[4],
                new double[4]);
        for (Object data : arrays) {
            NDArray a = new NDArray(data, true, 2, 2);
            assertSame(data, a.getData());
            assertArrayEquals(new int[] {2, 2}, a.getDimensions());
            assertTrue(a.isUnsigned());
        }
        assertArrayEquals(new int[] {4}, new NDArray(new int[4]).getDimensions(), "one dimension by default");
        // empty arrays, as NumPy has them
        assertArrayEquals(new int[] {0}, new NDArray(new int[0]).getDimensions());
        assertArrayEquals(new int[] {2, 0, 3}, new NDArray(new double[0], 2, 0, 3).getDimensions());
    }

    @Test
    void rejectsDataThatIsNotANumericPrimitiveArray() {
        for (Object data : new Object[] {new char[4], new Integer[4], new int[2][2], "abcd", 4}) {
            IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 4),
                    data.getClass().getTypeName());
            assertTrue(e.getMessage().contains(data.getClass().getTypeName()), e.getMessage());
        }
        assertThrows(NullPointerException.class, () -> new NDArray(null, 1));
    }

    @Test
    void rejectsBadDimensions() {
        int[] data = new int[6];
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, new int[0]));
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 2, 0));
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, -2, -3));
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 7));
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 2, 4));
        // the data must hold exactly what the dimensions need
        IllegalArgumentException fewer = assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 5));
        assertTrue(fewer.getMessage().contains("need 5 elements but the data array has 6"), fewer.getMessage());
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 2, 2));
        // a product that overflows long must not wrap round to a small number
        assertThrows(IllegalArgumentException.class,
                () -> new NDArray(data, 65536, 65536, 65536, 65536, 65536));
        assertThrows(IllegalArgumentException.class, () -> new NDArray(data, 65536, 65536, 65536, 65536, 6));
        // NumPy's limit of 64 dimensions
        int[] many = new int[65];
        java.util.Arrays.fill(many, 1);
        assertThrows(IllegalArgumentException.class, () -> new NDArray(new int[1], many));
        assertArrayEquals(new int[64], new NDArray(new int[0], new int[64]).getDimensions());
    }

    @Test
    void dimensionsCannotBeChangedFromOutside() {
        int[] dims = {2, 3};
        NDArray a = new NDArray(new double[6], dims);
        dims[0] = 6;
        a.getDimensions()[1] = 1;
        assertArrayEquals(new int[] {2, 3}, a.getDimensions());
    }

    @Test
    void equalityComparesContentShapeAndSign() {
        NDArray a = new NDArray(new int[] {1, 2, 3, 4}, 2, 2);
        assertEquals(a, new NDArray(new int[] {1, 2, 3, 4}, 2, 2));
        assertEquals(a.hashCode(), new NDArray(new int[] {1, 2, 3, 4}, 2, 2).hashCode());
        assertNotEquals(a, new NDArray(new int[] {1, 2, 3, 4}, 4));
        assertNotEquals(a, new NDArray(new int[] {1, 2, 3, 4}, true, 2, 2));
        assertNotEquals(a, new NDArray(new long[] {1, 2, 3, 4}, 2, 2));
    }

    @Test
    void directArraysNeedWritableDirectNumericBuffers() {
        ByteBuffer direct = ByteBuffer.allocateDirect(16).order(ByteOrder.nativeOrder());
        assertSame(direct, new DirectNDArray(direct, 16).getData());
        IntBuffer ints = direct.asIntBuffer();
        DirectNDArray a = new DirectNDArray(ints, true, 2, 2);
        assertSame(ints, a.getBuffer());
        assertTrue(a.isUnsigned());

        List<Buffer> refused = List.of(ByteBuffer.allocate(16), IntBuffer.allocate(4), direct.asCharBuffer(),
                ByteBuffer.allocate(16).asReadOnlyBuffer());
        for (Buffer b : refused) {
            assertThrows(IllegalArgumentException.class, () -> new DirectNDArray(b, 1), b.toString());
        }
        assertThrows(NullPointerException.class, () -> new DirectNDArray(null, 1));
        // read-only direct buffers become read-only ndarrays
        IntBuffer readOnly = direct.asIntBuffer().asReadOnlyBuffer();
        assertSame(readOnly, new DirectNDArray(readOnly, 4).getData());
    }

    @Test
    void directDimensionsAreCheckedAgainstCapacityInElements() {
        IntBuffer ints = ByteBuffer.allocateDirect(16).asIntBuffer(); // capacity 4
        assertArrayEquals(new int[] {4}, new DirectNDArray(ints).getDimensions());
        assertThrows(IllegalArgumentException.class, () -> new DirectNDArray(ints, 5));
        assertThrows(IllegalArgumentException.class, () -> new DirectNDArray(ints, 2, 3));
        assertThrows(IllegalArgumentException.class, () -> new DirectNDArray(ints, new int[0]));
        // the ndarray starts at element 0 whatever the position, so the position does not count
        ints.position(3);
        assertArrayEquals(new int[] {2, 2}, new DirectNDArray(ints, 2, 2).getDimensions());
    }
}
