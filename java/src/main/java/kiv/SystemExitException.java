package kiv;

/**
 * Python's {@code SystemExit} ({@code sys.exit()}, {@code exit()}), reported to Java
 * instead of ending the process, for interpreters made with
 * {@link KivConfig#setSystemExitThrows(boolean)}. It carries the exit status as python
 * would compute it: 0 for no code or {@code None}, the integer code, else 1 (the code's
 * text, which python prints on standard error, ends the message).
 */
public class SystemExitException extends KivException {
    private static final long serialVersionUID = 1L;

    /** The exit status. */
    private final int status;

    /** As the native library makes it: the message, the type address and traceback, the status. */
    SystemExitException(String message, long pythonType, String pythonTraceback, int status) {
        super(message, null, pythonType, "SystemExit", pythonTraceback);
        this.status = status;
    }

    /**
     * The process status python would exit with.
     *
     * @return the status
     */
    public int getStatus() {
        return status;
    }
}
