package kiv;

/**
 * A Python sub-interpreter of its own, bound to the creating thread. By default it is
 * isolated: its own interpreter lock lets it run in parallel with other interpreters.
 * Code runs in the sub-interpreter's {@code __main__} namespace. Extension modules that
 * do not support sub-interpreters (NumPy among them) need a {@link SharedInterpreter}.
 */
public class SubInterpreter extends Kiv {

    /** An isolated sub-interpreter with the default settings. */
    public SubInterpreter() {
        this(new SubInterpreterOptions(), new KivConfig());
    }

    /**
     * A sub-interpreter with the given options.
     *
     * @param options how the sub-interpreter is made
     */
    public SubInterpreter(SubInterpreterOptions options) {
        this(options, new KivConfig());
    }

    /**
     * A sub-interpreter with the given options and settings.
     *
     * @param options how the sub-interpreter is made
     * @param config the class loader and {@code sys.path} folders
     */
    public SubInterpreter(SubInterpreterOptions options, KivConfig config) {
        super(options, config);
    }
}
