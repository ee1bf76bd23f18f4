package kiv;

/**
 * A Python interpreter bound to the Java thread that created it. Every method must be
 * called on that thread while the interpreter is open; otherwise it throws
 * {@link KivException} without touching Python.
 *
 * <pre>
 * try (Interpreter py = new SubInterpreter()) {
 *     py.exec("import math\nx = math.sqrt(16)");
 *     py.eval("x");
 * }
 * </pre>
 */
public interface Interpreter extends AutoCloseable {

    /** Runs a block of Python statements in this interpreter's globals. */
    void exec(String code);

    /**
     * Runs one interactive statement, as the Python prompt does: the value of an
     * expression statement is printed through {@code sys.displayhook}.
     */
    void eval(String statement);

    /** Runs a Python source file, or a compiled {@code .pyc} file, in this interpreter's globals. */
    void runScript(String path);

    /**
     * Tells whether the text compiles as one complete interactive statement: 1 if it does,
     * 0 if it is incomplete or not valid Python. The text is not run.
     */
    int compileString(String statement);

    /**
     * Closes the interpreter. Idempotent. Refused while a call on this interpreter is in
     * progress on the stack (Python calling Java calling close) and, for an interpreter
     * that shared interpreters were made on, while any of those is open.
     */
    @Override
    void close();
}
