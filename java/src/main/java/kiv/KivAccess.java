package kiv;

/**
 * Internal: lets the classes of {@code kiv.python} use the package-private parts of
 * {@link Kiv}. Not part of the API; application code has no reason to call it.
 */
public final class KivAccess {
    private KivAccess() {
    }

    /**
     * Checks that the calling thread owns {@code kiv} and that it is open, marks the
     * start of a native call on it and returns its record address. Every successful
     * call must be paired with {@link #leave}.
     *
     * @throws KivException on a foreign thread or a closed interpreter
     */
    public static long enter(Kiv kiv) {
        return kiv.enter();
    }

    public static void leave(Kiv kiv) {
        kiv.leave();
    }

    /** Records a reference owned by a Java object, to give back when {@code kiv} closes. */
    public static void track(Kiv kiv, OwnedReference pointer) {
        kiv.track(pointer);
    }

    public static void untrack(Kiv kiv, OwnedReference pointer) {
        kiv.untrack(pointer);
    }

    /** From any thread: the owner gives the reference back at its next call. */
    public static void queueRelease(Kiv kiv, OwnedReference pointer) {
        kiv.queueRelease(pointer);
    }

    /** The class loader through which Python code of {@code kiv} finds Java classes. */
    public static ClassLoader classLoader(Kiv kiv) {
        return kiv.getClassLoader();
    }
}
