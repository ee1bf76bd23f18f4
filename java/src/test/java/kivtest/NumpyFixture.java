package kivtest;

import java.util.Arrays;

import kiv.DirectNDArray;
import kiv.NDArray;

/** Java methods that report what NumPy values became on the way in (test_numpy.py). */
public final class NumpyFixture {
    private NumpyFixture() {
    }

    /** The class of what arrived, and its contents for arrays and NDArrays. */
    public static String describe(Object o) {
        if (o instanceof NDArray) {
            NDArray a = (NDArray) o;
            return "NDArray " + describe(a.getData()) + " dims=" + Arrays.toString(a.getDimensions())
                    + (a.isUnsigned() ? " unsigned" : "");
        }
        if (o instanceof int[]) {
            return "int[] " + Arrays.toString((int[]) o);
        }
        if (o instanceof long[]) {
            return "long[] " + Arrays.toString((long[]) o);
        }
        if (o instanceof double[]) {
            return "double[] " + Arrays.toString((double[]) o);
        }
        if (o instanceof boolean[]) {
            return "boolean[] " + Arrays.toString((boolean[]) o);
        }
        return o == null ? "null" : o.getClass().getSimpleName() + " " + o;
    }

    public static String ints(int[] a) {
        return describe(a);
    }

    public static String boxedByte(Byte b) {
        return describe(b);
    }

    public static String boxedFloat(Float f) {
        return describe(f);
    }

    public static String nd(NDArray a) {
        return describe(a);
    }

    /** The object itself: an ndarray over its buffer comes back from Java as this object. */
    public static boolean same(DirectNDArray a, DirectNDArray b) {
        return a == b;
    }

    public static DirectNDArray identity(DirectNDArray a) {
        return a;
    }
}
