package kiv;

/**
 * A Python interpreter bound to the Java thread that created it. Every method must be
 * called on that thread while the interpreter is open; otherwise it throws
 * {@link KivException} without touching Python. The {@link kiv.python.PyObject}s and
 * proxies it hands out may be used from any thread while it is open.
 *
 * <pre>
 * try (Interpreter py = new SubInterpreter()) {
 *     py.exec("import math\nx = math.sqrt(16)");
 *     py.eval("x");
 * }
 * </pre>
 */
public interface Interpreter extends AutoCloseable {

    /**
     * Runs a block of Python statements in this interpreter's globals.
     *
     * @param code Python statements
     * @throws KivException when the code raises, or does not compile
     */
    void exec(String code);

    /**
     * Runs one interactive statement, as the Python prompt does: the value of an
     * expression statement is printed through {@code sys.displayhook}.
     *
     * @param statement one Python statement
     * @throws KivException when the statement raises, or does not compile
     */
    void eval(String statement);

    /**
     * Runs a Python source file, or a compiled {@code .pyc} file, in this interpreter's globals.
     *
     * @param path the file, absolute or relative to the working directory
     * @throws KivException when the file cannot be read or its code raises
     */
    void runScript(String path);

    /**
     * Tells whether the text compiles as one complete interactive statement: 1 if it does,
     * 0 if it is incomplete or not valid Python. The text is not run.
     *
     * @param statement the text of a statement
     * @return 1 for a complete statement, else 0
     */
    int compileString(String statement);

    /**
     * Evaluates a Python expression and converts its value to the Java type that suits it
     * best: int to Long (BigInteger beyond 64 bits), float to Double, str to String, bool
     * to Boolean, list and tuple to List, dict to Map, bytes to byte[], None to null, a
     * Java object to itself, anything else to a {@link kiv.python.PyObject}.
     *
     * @param expression a Python expression
     * @return its value, converted
     * @throws KivException when the expression raises or cannot be converted
     */
    Object getValue(String expression);

    /**
     * Evaluates a Python expression and converts its value to {@code type} (a primitive
     * class means its boxed class): for example Integer, BigInteger, int[], List, Map or
     * {@link kiv.python.PyObject}. A value that does not fit throws {@link KivException}.
     *
     * @param <T> the type asked for
     * @param expression a Python expression
     * @param type the class to convert to
     * @return its value, converted
     * @throws KivException when the expression raises or its value does not fit
     */
    <T> T getValue(String expression, Class<T> type);

    /**
     * Binds a global name to a Java value converted to Python (null becomes None).
     *
     * @param name the global name
     * @param value the value
     */
    void set(String name, Object value);

    /**
     * Calls a global callable, or a method of a global object ({@code "obj.method"}),
     * with positional arguments; returns the result as {@link #getValue(String)} does.
     *
     * @param name a global name, or a global name, a dot and a method name
     * @param args the positional arguments, converted to Python
     * @return the result, converted
     * @throws KivException when the call raises
     */
    Object invoke(String name, Object... args);

    /**
     * Calls with keyword arguments only, as {@link #invoke(String, Object...)}.
     *
     * @param name a global name, or a global name, a dot and a method name
     * @param kwargs names and values of the keyword arguments
     * @return the result, converted
     */
    Object invoke(String name, java.util.Map<String, ?> kwargs);

    /**
     * Calls with positional and keyword arguments, as {@link #invoke(String, Object...)}.
     *
     * @param name a global name, or a global name, a dot and a method name
     * @param args the positional arguments, or null for none
     * @param kwargs names and values of the keyword arguments, or null for none
     * @return the result, converted
     */
    Object invoke(String name, Object[] args, java.util.Map<String, ?> kwargs);

    /**
     * Raises {@code KeyboardInterrupt} in the Python code this interpreter runs, as
     * Ctrl-C does in python: at its next bytecode, or as soon as it comes back from a
     * Java call it is in. May be called from any thread. Does nothing when the
     * interpreter runs no Python code (or is closed); a request that comes as a call ends
     * is dropped, never kept for a later call. {@link Thread#interrupt()} of the owner
     * thread while it runs Python code does the same (within about 50 ms); when the
     * {@code KeyboardInterrupt} was raised, the thread's interrupt status is cleared
     * once the call returns, as a thrown {@link InterruptedException} would clear it.
     */
    void interrupt();

    /**
     * Closes the interpreter. Idempotent. Refused while a call on this interpreter is in
     * progress on the stack (Python calling Java calling close), while another thread is
     * inside a call on one of its Python objects or proxies and, for an interpreter that
     * shared interpreters were made on, while any of those is open; those refusals
     * change nothing.
     */
    @Override
    void close();
}
