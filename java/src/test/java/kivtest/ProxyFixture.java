package kivtest;

import java.util.concurrent.Callable;
import java.util.function.Function;

/** Java code that calls Python objects through proxies, for the proxy tests. */
public final class ProxyFixture {
    private ProxyFixture() {
    }

    private static Object held;

    public static void runIt(Runnable r) {
        r.run();
    }

    public static Object callIt(Callable<?> c) throws Exception {
        return c.call();
    }

    /** Runs r and says how it ended: "ok", or the class and message of what it threw. */
    public static String outcome(Runnable r) {
        try {
            r.run();
            return "ok";
        } catch (Throwable t) {
            return t.getClass().getName() + ": " + t.getMessage();
        }
    }

    public static void fail(String message) {
        throw new IllegalStateException(message);
    }

    /** f applied twice through Function.andThen, a default method. */
    public static Object twice(Function<Object, Object> f, Object x) {
        return f.andThen(f).apply(x);
    }

    public static void hold(Object o) {
        held = o;
    }

    public static Object held() {
        return held;
    }

    /** An interface whose default method calls the abstract ones. */
    public interface Shape {
        double area();

        int sides();

        default String describe() {
            return sides() + " sides, area " + area();
        }
    }

    public static String describe(Shape s) {
        return s.describe();
    }

    public interface Counter {
        int next();
    }

    public static int next(Counter c) {
        return c.next();
    }

    /** One abstract method per return type. */
    public interface Values {
        boolean aBoolean();

        byte aByte();

        char aChar();

        short aShort();

        int anInt();

        long aLong();

        float aFloat();

        double aDouble();

        String aString();

        void nothing();
    }

    /** Every value of v, read through the primitive return types. */
    public static String readAll(Values v) {
        v.nothing();
        return v.aBoolean() + " " + v.aByte() + " " + v.aChar() + " " + v.aShort() + " " + v.anInt() + " " + v.aLong()
                + " " + v.aFloat() + " " + v.aDouble() + " " + v.aString();
    }

    /** A default method with parameters of every primitive type, returning a primitive. */
    public interface Mixer {
        String name();

        default long mix(boolean z, byte b, char c, short s, int i, long j, float f, double d, Object o) {
            return (z ? 1 : 0) + b + c + s + i + j + (long) f + (long) d + name().length() + (o == null ? 0 : 1000);
        }
    }

    public interface Failing extends Runnable {
        default void boom() {
            throw new UnsupportedOperationException("from the default body");
        }
    }

    public static String boom(Failing f) {
        return outcome(f::boom);
    }
}
