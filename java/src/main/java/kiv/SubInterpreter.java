package kiv;

/**
 * A Python sub-interpreter of its own, bound to the creating thread. By default it is
 * isolated: its own interpreter lock lets it run in parallel with other interpreters.
 * Code runs in the sub-interpreter's {@code __main__} namespace. Extension modules that
 * do not support sub-interpreters (NumPy among them) need a {@link SharedInterpreter}.
 */
public class SubInterpreter extends Kiv {

    public SubInterpreter() {
        this(new SubInterpreterOptions(), new KivConfig());
    }

    public SubInterpreter(SubInterpreterOptions options) {
        this(options, new KivConfig());
    }

    public SubInterpreter(SubInterpreterOptions options, KivConfig config) {
        super(options, config);
    }
}
