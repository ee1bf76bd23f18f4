package kivtest;

import java.util.Arrays;
import java.util.Map;
import java.util.TreeMap;

import kiv.PyMethod;

/** Java methods with chosen signatures, called from Python by the method tests. */
public class MethodFixture {

    // Overloads that report which one was chosen.
    public static String f(long x) {
        return "long";
    }

    public static String f(int x) {
        return "int";
    }

    public static String f(double x) {
        return "double";
    }

    public static String f(boolean x) {
        return "boolean";
    }

    public static String f(Object x) {
        return "Object";
    }

    public static String f(String x) {
        return "String";
    }

    public static String one(int x) {
        return "one(int)";
    }

    public static String two(int x) {
        return "two(int)";
    }

    public static String two(int x, int y) {
        return "two(int,int)";
    }

    // Variable arguments.
    public static String join(String... parts) {
        return parts.length + ":" + String.join(",", parts);
    }

    public static String tagged(int n, String... parts) {
        return n + ":" + String.join(",", parts);
    }

    // Keywords: the last parameter receives them.
    @PyMethod(kwargs = true)
    public static String named(String first, Map<String, Object> kwargs) {
        return first + (kwargs == null ? " null" : " " + new TreeMap<>(kwargs));
    }

    @PyMethod(varargs = true, kwargs = true)
    public static String both(Object[] args, Map<String, Object> kwargs) {
        return Arrays.toString(args) + (kwargs == null ? " null" : " " + new TreeMap<>(kwargs));
    }

    // Flags that ask for parameters the method does not have.
    @PyMethod(kwargs = true)
    public static String malformed() {
        return "never";
    }

    // Results of every kind.
    public static char letter() {
        return 'z';
    }

    public static byte allBits() {
        return (byte) 0xFF;
    }

    public static short minShort() {
        return Short.MIN_VALUE;
    }

    public static float third() {
        return 1f / 3f;
    }

    public static void nothing() {
    }

    public static String nullString() {
        return null;
    }

    public static int[] nullArray() {
        return null;
    }

    public static Class<?> nullClass() {
        return null;
    }

    public static Object nullObject() {
        return null;
    }

    public static Class<?> stringClass() {
        return String.class;
    }

    /** Fills an array the caller passes. */
    public static void fill(int[] target, int value) {
        Arrays.fill(target, value);
    }

    // Instances.
    private final String name;

    public MethodFixture() {
        this("default");
    }

    public MethodFixture(String name) {
        this.name = name;
    }

    public MethodFixture(int n, String... rest) {
        this(n + String.join("", rest));
    }

    public String name() {
        return name;
    }

    public String greet(String who) {
        return name + " greets " + who;
    }

    /** Runs Java code that calls back into the interpreter that called it. */
    public static Object callBack(java.util.function.Supplier<Object> code) {
        return code.get();
    }

    /** A class without a public constructor. */
    public static final class NoConstructor {
        private NoConstructor() {
        }

        public static NoConstructor make() {
            return new NoConstructor();
        }
    }

    public abstract static class Abstract {
        public Abstract() {
        }
    }

    /** A constructor that takes one positional argument and keywords. */
    public static final class Configured {
        public final String text;

        @PyMethod(kwargs = true)
        public Configured(String first, Map<String, Object> kwargs) {
            text = first + (kwargs == null ? " null" : " " + new TreeMap<>(kwargs));
        }
    }
}
