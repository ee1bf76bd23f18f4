package kiv.internal;

import kiv.Kiv;

/**
 * Internal: lets the other packages of the library use the package-private parts of
 * {@link Kiv}. {@code Kiv} installs the one implementation when it is initialised.
 */
public abstract class KivAccess {
    private static volatile KivAccess installed;

    protected KivAccess() {
    }

    /** Called once, by {@code Kiv}'s initialisation. */
    public static void install(KivAccess access) {
        if (access.getClass().getNestHost() != Kiv.class) {
            throw new IllegalArgumentException("only kiv.Kiv installs its access");
        }
        synchronized (KivAccess.class) {
            if (installed != null) {
                throw new IllegalStateException("already installed");
            }
            installed = access;
        }
    }

    /** The implementation, initialising {@code Kiv} first if nothing has yet. */
    public static KivAccess get() {
        KivAccess a = installed;
        if (a != null) {
            return a;
        }
        try {
            Class.forName(Kiv.class.getName(), true, Kiv.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new IllegalStateException(e);
        }
        return installed;
    }

    /**
     * Runs {@code op} as a native call on {@code kiv}: checks that the calling thread owns
     * it and that it is open, marks the call (which also gives back the references queued
     * by {@link #queueRelease}) and unmarks it however {@code op} ends.
     *
     * @throws kiv.KivException on a foreign thread or a closed interpreter
     */
    public abstract <T, A, B, C, R> R call(Kiv kiv, NativeCall<T, A, B, C, R> op, T target, A a, B b, C c);

    /** Records a reference owned by a Java object, to give back when {@code kiv} closes. */
    public abstract void track(Kiv kiv, OwnedReference reference);

    public abstract void untrack(Kiv kiv, OwnedReference reference);

    /** From any thread: the owner gives the reference back at its next call. */
    public abstract void queueRelease(Kiv kiv, OwnedReference reference);
}
