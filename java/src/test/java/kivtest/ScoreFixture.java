package kivtest;

import java.util.ArrayList;
import java.util.Collection;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * One static method per parameter type, so that the argument scores of each can be read
 * method by method (test_argument_scores.py).  The bodies do not matter.
 */
public class ScoreFixture {

    // Primitive parameters.
    public static void pBoolean(boolean x) {}

    public static void pByte(byte x) {}

    public static void pChar(char x) {}

    public static void pShort(short x) {}

    public static void pInt(int x) {}

    public static void pLong(long x) {}

    public static void pFloat(float x) {}

    public static void pDouble(double x) {}

    // Reference parameters: Object, String, Class and arrays have type codes of their
    // own; the rest share the code of Object and differ by class.
    public static void rObject(Object x) {}

    public static void rString(String x) {}

    public static void rClass(Class<?> x) {}

    public static void rIntArray(int[] x) {}

    public static void rStringArray(String[] x) {}

    public static void rBoolean(Boolean x) {}

    public static void rLong(Long x) {}

    public static void rInteger(Integer x) {}

    public static void rShort(Short x) {}

    public static void rDouble(Double x) {}

    public static void rFloat(Float x) {}

    public static void rNumber(Number x) {}

    public static void rComparable(Comparable<?> x) {}

    public static void rCharSequence(CharSequence x) {}

    public static void rCollection(Collection<?> x) {}

    public static void rList(List<?> x) {}

    public static void rArrayList(ArrayList<?> x) {}

    public static void rMap(Map<?, ?> x) {}

    public static void rHashMap(HashMap<?, ?> x) {}
}
