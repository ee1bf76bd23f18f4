package kivtest;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/** Public fields of several kinds, and Java objects reachable through static fields. */
public class FieldFixture {
    public static int staticInt = 7;
    public static char staticChar = 'k';
    public static String staticString = "static";
    public static long staticLong = 1L << 40;
    public static double staticDouble = 2.5;
    public static boolean staticBoolean = true;
    public static Object staticObject = "an object";
    public static final int FINAL_INT = 42;
    /** Final, but set by the class initialiser rather than inlined by the compiler. */
    public static final String FINAL_TEXT = String.valueOf(FINAL_INT).repeat(2);

    public static Map<String, Integer> map = new HashMap<>(Map.of("a", 1));
    public static List<String> list = new ArrayList<>(List.of("x"));
    public static FieldFixture instance = new FieldFixture();
    public static Marker marker = new Marker();

    public int count = 3;
    public char letter = 'q';
    public String text = "instance";
    public long big = -5L;
    public double ratio = 0.25;
    public boolean flag;
    public Object thing;
    public final int fixed = 9;

    /** Java code writing static fields, between reads from Python. */
    public static void setStatics(int i, String s) {
        staticInt = i;
        staticString = s;
    }

    /** A class only the converter tests use. */
    public static final class Marker {
    }

    /** A class no test registers a converter for. */
    public static final class Plain {
    }

    /** A name beyond the Basic Multilingual Plane (U+1D49C). */
    public static final class 𝒜 {
    }
}
