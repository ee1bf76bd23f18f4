package kivtest;

import java.util.function.Supplier;

/** Java objects with chosen behaviour, for tests that look at them from Python. */
public final class Fixtures {
    private Fixtures() {
    }

    /** Throws any throwable, checked or not, without declaring it. */
    @SuppressWarnings("unchecked")
    static <T extends Throwable> RuntimeException sneaky(Throwable t) throws T {
        throw (T) t;
    }

    /** Its toString throws whatever the supplier gives. */
    public static final class Thrower {
        private final Supplier<? extends Throwable> what;

        public Thrower(Supplier<? extends Throwable> what) {
            this.what = what;
        }

        @Override
        public String toString() {
            throw sneaky(what.get());
        }
    }

    /** A throwable whose stack trace cannot be read. */
    public static final class NoStackTrace extends RuntimeException {
        private static final long serialVersionUID = 1L;

        public NoStackTrace() {
            super("no stack trace");
        }

        @Override
        public StackTraceElement[] getStackTrace() {
            throw new IllegalStateException("getStackTrace refused");
        }
    }

    /**
     * Calls a method with null n times and counts the NullPointerExceptions. Once
     * compiled, the JVM finds these nulls by the SIGSEGV of the dereference.
     */
    public static int nullPointers(int n) {
        int caught = 0;
        for (int i = 0; i < n; i++) {
            try {
                caught += length(i % 1000 == 999 ? "x" : null) - 1;
            } catch (NullPointerException e) {
                caught++;
            }
        }
        return caught;
    }

    private static int length(String s) {
        return s.length();
    }

    /** A throwable whose message and string form cannot be read. */
    public static final class BadMessage extends RuntimeException {
        private static final long serialVersionUID = 1L;

        @Override
        public String getMessage() {
            throw new IllegalStateException("getMessage refused");
        }

        @Override
        public String toString() {
            throw new IllegalStateException("toString refused");
        }
    }

    /** Its toString runs the given code (for example a call back into Python). */
    public static final class Callback {
        private final Supplier<String> code;

        public Callback(Supplier<String> code) {
            this.code = code;
        }

        @Override
        public String toString() {
            return code.get();
        }
    }

    /** Equal when their keys are equal; counts equals calls. */
    public static final class Keyed {
        public static int equalsCalls;
        private final String key;

        public Keyed(String key) {
            this.key = key;
        }

        @Override
        public boolean equals(Object o) {
            equalsCalls++;
            return o instanceof Keyed && ((Keyed) o).key.equals(key);
        }

        @Override
        public int hashCode() {
            return key.hashCode();
        }

        @Override
        public String toString() {
            return "Keyed(" + key + ")";
        }
    }

    public static final class HashMinusOne {
        @Override
        public int hashCode() {
            return -1;
        }
    }

    /** Orders by value, answering compareTo with -2, 0 or 2. */
    public static final class Ranked implements Comparable<Ranked> {
        private final int value;

        public Ranked(int value) {
            this.value = value;
        }

        @Override
        public int compareTo(Ranked o) {
            return value < o.value ? -2 : value > o.value ? 2 : 0;
        }

        @Override
        public boolean equals(Object o) {
            return o instanceof Ranked && ((Ranked) o).value == value;
        }

        @Override
        public int hashCode() {
            return value;
        }
    }

    public static final class NullToString {
        @Override
        public String toString() {
            return null;
        }
    }
}
