package kiv;

/**
 * A new thread state in an existing interpreter: the main interpreter, or the
 * interpreter of a base binding. Shared interpreters of one interpreter share its
 * modules and serialise on its interpreter lock. Each has its own globals, unless it
 * was made on a base with {@code shareGlobals}.
 */
public class SharedInterpreter extends Kiv {

    /** A binding in the main interpreter with fresh globals. */
    public SharedInterpreter() {
        this(new KivConfig());
    }

    /**
     * A binding in the main interpreter with fresh globals and the given settings.
     *
     * @param config the class loader and {@code sys.path} folders
     */
    public SharedInterpreter(KivConfig config) {
        super(null, false, config);
    }

    /**
     * A binding in the interpreter of {@code base}, on the calling thread. With
     * {@code shareGlobals} it uses the base's globals; otherwise fresh ones. The base
     * cannot be closed while this one is open.
     *
     * @param base an open interpreter of this thread
     * @param shareGlobals whether to use the base's globals
     */
    public SharedInterpreter(Interpreter base, boolean shareGlobals) {
        this(base, shareGlobals, new KivConfig());
    }

    /**
     * As {@link #SharedInterpreter(Interpreter, boolean)}, with the given settings.
     *
     * @param base an open interpreter of this thread
     * @param shareGlobals whether to use the base's globals
     * @param config the class loader and {@code sys.path} folders
     */
    public SharedInterpreter(Interpreter base, boolean shareGlobals, KivConfig config) {
        super(requireKiv(base), shareGlobals, config);
    }

    private static Kiv requireKiv(Interpreter base) {
        if (!(base instanceof Kiv)) {
            throw new IllegalArgumentException("base must be an interpreter made by Kiv");
        }
        return (Kiv) base;
    }
}
