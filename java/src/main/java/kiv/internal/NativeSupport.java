package kiv.internal;

import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.Iterator;
import java.util.List;
import java.util.Map;

/**
 * Internal: Java work the native library hands over in one call where it would
 * otherwise make one JNI round trip per element. Every method here runs JDK code only
 * (boxing, ArrayList and HashMap with JDK keys, an iterator's own methods), so the
 * library may call the collection builders without letting other Python threads run.
 */
public final class NativeSupport {

    /** The class of what {@link #next} returns at the end of an iteration. */
    public static final class End {
        private End() {
        }
    }

    /** What {@link #next} returns at the end of an iteration: never an element. */
    public static final End END = new End();

    private NativeSupport() {
    }

    /**
     * A new ArrayList of the elements of {@code values} (a {@code long[]}, boxed as Long,
     * a {@code double[]}, boxed as Double, or an {@code Object[]}), or an unmodifiable
     * view of it.
     */
    public static List<Object> list(Object values, boolean unmodifiable) {
        int n = length(values);
        ArrayList<Object> list = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
            list.add(element(values, i));
        }
        return unmodifiable ? Collections.unmodifiableList(list) : list;
    }

    /**
     * A new HashMap of the keys and values at the same index of two such arrays (of one
     * length), sized so that filling it never rehashes.
     */
    public static Map<Object, Object> map(Object keys, Object values) {
        int n = length(keys);
        if (length(values) != n) {
            throw new IllegalArgumentException("keys and values differ in length");
        }
        HashMap<Object, Object> map = new HashMap<>((int) Math.min(Integer.MAX_VALUE, n / 0.75 + 1.0));
        for (int i = 0; i < n; i++) {
            map.put(element(keys, i), element(values, i));
        }
        return map;
    }

    /** hasNext(), then next(): the next element, or {@link #END}. */
    public static Object next(Iterator<?> iterator) {
        return iterator.hasNext() ? iterator.next() : END;
    }

    private static int length(Object values) {
        if (values instanceof long[] longs) {
            return longs.length;
        }
        if (values instanceof double[] doubles) {
            return doubles.length;
        }
        return ((Object[]) values).length;
    }

    private static Object element(Object values, int i) {
        if (values instanceof long[] longs) {
            return longs[i];
        }
        if (values instanceof double[] doubles) {
            return doubles[i];
        }
        return ((Object[]) values)[i];
    }
}
