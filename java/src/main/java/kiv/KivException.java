package kiv;

/**
 * A failure reported by Kiv. When Python code raised the error, the message is the
 * Python exception type and its first argument ({@code <class 'ValueError'>: bad value}),
 * the stack trace begins with the Python frames, innermost first, and
 * {@link #getPythonType()} identifies the Python exception type. When the Python
 * exception carried a Java throwable, that throwable is the cause.
 */
public class KivException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The Python exception type's identifier, or 0. */
    private final long pythonType;

    /**
     * A failure that did not come from a Python exception.
     *
     * @param message what failed
     */
    public KivException(String message) {
        super(message);
        this.pythonType = 0;
    }

    /**
     * A Python exception of the type at the given address (used by the native library).
     *
     * @param message the Python exception type and its first argument
     * @param pythonType the Python exception type's address
     */
    public KivException(String message, long pythonType) {
        super(message);
        this.pythonType = pythonType;
    }

    /**
     * A failure caused by a Java throwable.
     *
     * @param message what failed
     * @param cause the throwable
     */
    public KivException(String message, Throwable cause) {
        super(message, cause);
        this.pythonType = 0;
    }

    /**
     * An opaque identifier of the Python exception type this exception came from, or 0
     * when it did not come from a Python exception. It is only meaningful to the native
     * library, which uses it to raise the same Python type again.
     *
     * @return the identifier, or 0
     */
    public long getPythonType() {
        return pythonType;
    }
}
