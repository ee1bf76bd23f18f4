package kiv;

/**
 * A failure reported by Kiv. When Python code raised the error, the message is the
 * Python exception type and its first argument ({@code <class 'ValueError'>: bad value};
 * for a {@code SyntaxError} also the file, line, column and the offending text), the
 * stack trace begins with the Python frames, innermost first,
 * {@link #getPythonTypeName()} names the Python exception type and
 * {@link #getPythonTraceback()} is the traceback as Python prints it. When the Python
 * exception carried a Java throwable, that throwable is the cause.
 */
public class KivException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The Python exception type's identifier, or 0. */
    private final long pythonType;
    /** The Python exception type's name, or null. */
    private final String pythonTypeName;
    /** The Python traceback text, or null. */
    private final String pythonTraceback;

    /**
     * A failure that did not come from a Python exception.
     *
     * @param message what failed
     */
    public KivException(String message) {
        super(message);
        this.pythonType = 0;
        this.pythonTypeName = null;
        this.pythonTraceback = null;
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
        this.pythonTypeName = null;
        this.pythonTraceback = null;
    }

    /**
     * A failure with a cause. When the cause is a {@code KivException} that came from a
     * Python exception, this one stands for the same Python exception type, so that it
     * raises that type again when it reaches Python.
     *
     * @param message what failed
     * @param cause the throwable
     */
    public KivException(String message, Throwable cause) {
        super(message, cause);
        if (cause instanceof KivException k) {
            this.pythonType = k.pythonType;
            this.pythonTypeName = k.pythonTypeName;
        } else {
            this.pythonType = 0;
            this.pythonTypeName = null;
        }
        this.pythonTraceback = null;
    }

    /**
     * A Python exception as the native library reports it: the type's address and name,
     * the traceback text, and the Java throwable it carried (or null).
     */
    KivException(String message, Throwable cause, long pythonType, String pythonTypeName, String pythonTraceback) {
        super(message, cause);
        this.pythonType = pythonType;
        this.pythonTypeName = pythonTypeName;
        this.pythonTraceback = pythonTraceback;
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

    /**
     * The name of the Python exception type, as Python's traceback shows it: the bare
     * name of a built-in type or one defined in {@code __main__} ({@code "ValueError"}),
     * else the module and qualified name ({@code "mypkg.MyError"}); null when this
     * exception did not come from a Python exception.
     *
     * @return the type name, or null
     */
    public String getPythonTypeName() {
        return pythonTypeName;
    }

    /**
     * The Python traceback of the exception, as Python prints it (with chained
     * exceptions and notes), ending in a line break; null when this exception did not
     * come from a Python exception.
     *
     * @return the traceback text, or null
     */
    public String getPythonTraceback() {
        return pythonTraceback;
    }
}
