package kiv.internal;

import kiv.Kiv;

/**
 * Internal: lets the other packages of the library use the package-private parts of
 * {@link Kiv}. {@code Kiv} installs the one implementation when it is initialised.
 */
public abstract class KivAccess {
    private static volatile KivAccess installed;

    /** For {@code Kiv}'s implementation only. */
    protected KivAccess() {
    }

    /**
     * Called once, by {@code Kiv}'s initialisation.
     *
     * @param access {@code Kiv}'s implementation
     * @throws IllegalArgumentException for any other implementation
     * @throws IllegalStateException when one is installed already
     */
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

    /**
     * The implementation, initialising {@code Kiv} first if nothing has yet.
     *
     * @return {@code Kiv}'s implementation
     */
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
     * Runs {@code op} as a native call on {@code kiv}, from any thread: checks that it is
     * open, marks the call (which also gives back the references queued by
     * {@link #queueRelease}; {@code kiv} cannot close meanwhile) and unmarks it however
     * {@code op} ends.
     *
     * @param <T> the type of the target
     * @param <A> the type of the first argument
     * @param <B> the type of the second argument
     * @param <C> the type of the third argument
     * @param <R> the type of the result
     * @param kiv the interpreter binding
     * @param op the native call
     * @param target the object whose native method is called
     * @param a the first argument, or null
     * @param b the second argument, or null
     * @param c the third argument, or null
     * @return what {@code op} returns
     * @throws kiv.KivException when the interpreter is closed or being closed
     */
    public abstract <T, A, B, C, R> R call(Kiv kiv, NativeCall<T, A, B, C, R> op, T target, A a, B b, C c);

    /**
     * From any thread: gives the reference back now, in a native call on {@code kiv};
     * nothing happens once {@code kiv} is closing or closed (it gives every reference
     * back itself).
     *
     * @param kiv the interpreter binding
     * @param reference the reference to give back
     */
    public abstract void release(Kiv kiv, OwnedReference reference);

    /**
     * Whether {@code kiv} is open.
     *
     * @param kiv the interpreter binding
     * @return true while it is neither closing nor closed
     */
    public abstract boolean isOpen(Kiv kiv);

    /**
     * The number of the Python interpreter {@code kiv} is bound to.
     *
     * @param kiv the interpreter binding
     * @return the interpreter's number
     */
    public abstract long interpreterId(Kiv kiv);

    /**
     * Records a reference owned by a Java object, to give back when {@code kiv} closes.
     *
     * @param kiv the interpreter binding
     * @param reference the reference
     */
    public abstract void track(Kiv kiv, OwnedReference reference);

    /**
     * Forgets a reference recorded by {@link #track}, once it was given back.
     *
     * @param kiv the interpreter binding
     * @param reference the reference
     */
    public abstract void untrack(Kiv kiv, OwnedReference reference);

    /**
     * From any thread: the reference is given back at the next native call on {@code kiv}.
     *
     * @param kiv the interpreter binding
     * @param reference the reference
     */
    public abstract void queueRelease(Kiv kiv, OwnedReference reference);
}
