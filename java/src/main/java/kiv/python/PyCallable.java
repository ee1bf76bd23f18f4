package kiv.python;

import java.util.Map;
import java.util.Objects;

import kiv.Kiv;

/** A callable Python object (a function, a bound method, a class...). */
public class PyCallable extends PyObject {

    /**
     * See {@link PyObject#PyObject(Kiv, long)}: called by the native library only.
     *
     * @param kiv the interpreter binding the object belongs to
     * @param address the Python object
     */
    protected PyCallable(Kiv kiv, long address) {
        super(kiv, address);
    }

    /**
     * Calls it with positional arguments.
     *
     * @param args the arguments, converted to Python
     * @return the result in the Java type that suits it best
     * @throws kiv.KivException when the call raises
     */
    public Object call(Object... args) {
        return callAs(Object.class, args);
    }

    /**
     * Calls it with positional arguments.
     *
     * @param <T> the type asked for
     * @param type the class to convert the result to (a primitive class means its boxed class)
     * @param args the arguments, converted to Python
     * @return the result, converted
     * @throws kiv.KivException when the call raises or the result does not fit
     */
    public <T> T callAs(Class<T> type, Object... args) {
        return callWithKeywords(type, args, null);
    }

    /**
     * Calls it with positional arguments (null for none) and keyword arguments (null
     * for none), and converts the result to {@code type}.
     *
     * @param <T> the type asked for
     * @param type the class to convert the result to (a primitive class means its boxed class)
     * @param args the positional arguments, or null
     * @param kwargs names and values of the keyword arguments, or null
     * @return the result, converted
     * @throws kiv.KivException when the call raises or the result does not fit
     */
    public <T> T callWithKeywords(Class<T> type, Object[] args, Map<String, ?> kwargs) {
        Objects.requireNonNull(type, "type");
        Class<T> boxed = boxed(type);
        return boxed.cast(callNative((o, r, a, kw, as) -> o.call(r, o.live(), a, kw, as), this, args, kwargs, boxed));
    }

    private native Object call(long record, long obj, Object[] args, Map<String, ?> kwargs, Class<?> as);
}
