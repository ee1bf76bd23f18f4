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
     *
     * @param values the elements, one of the three array kinds
     * @param unmodifiable whether to return an unmodifiable view
     * @return the new list
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
     *
     * @param keys the keys, one of the array kinds {@link #list} takes
     * @param values the values, of the same length as {@code keys}
     * @return the new map
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

    /**
     * Kinds of {@link #argumentBits}: 0 for an argument passed as the object itself, this
     * one for a Long, Integer, Short or Byte argument, its value as a long.
     */
    public static final int LONG = 1;
    /** The kind of a Double or Float argument: its value as a double's raw bits. */
    public static final int DOUBLE = 2;
    /** The kind of a Boolean argument: 1 or 0. */
    public static final int BOOLEAN = 3;
    /** The kind of a Character argument: its UTF-16 code unit. */
    public static final int CHAR = 4;

    /**
     * The arguments that are exact JDK boxes, as two longs each (kind, then value; a
     * double's raw bits, a float widened to double), so that the library reads them all
     * with one JNI call instead of several per argument: {@code bits[2 * i]} is the kind
     * of {@code args[i]}, 0 for any other object or null. Null when no argument is a box.
     *
     * @param args the arguments of a call, or null
     * @return the kinds and values, or null
     */
    public static long[] argumentBits(Object[] args) {
        if (args == null) {
            return null;
        }
        long[] bits = null;
        for (int i = 0; i < args.length; i++) {
            Object a = args[i];
            if (a == null) {
                continue;
            }
            Class<?> c = a.getClass();
            long kind;
            long value;
            if (c == Long.class) {
                kind = LONG;
                value = (Long) a;
            } else if (c == Integer.class) {
                kind = LONG;
                value = (Integer) a;
            } else if (c == Double.class) {
                kind = DOUBLE;
                value = Double.doubleToRawLongBits((Double) a);
            } else if (c == Boolean.class) {
                kind = BOOLEAN;
                value = (Boolean) a ? 1 : 0;
            } else if (c == Float.class) {
                kind = DOUBLE;
                value = Double.doubleToRawLongBits((Float) a);
            } else if (c == Short.class) {
                kind = LONG;
                value = (Short) a;
            } else if (c == Byte.class) {
                kind = LONG;
                value = (Byte) a;
            } else if (c == Character.class) {
                kind = CHAR;
                value = (Character) a;
            } else {
                continue;
            }
            if (bits == null) {
                bits = new long[2 * args.length];
            }
            bits[2 * i] = kind;
            bits[2 * i + 1] = value;
        }
        return bits;
    }

    /**
     * hasNext(), then next(): the next element, or {@link #END}.
     *
     * @param iterator the iterator to advance
     * @return its next element, or {@link #END} when it has none
     */
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
