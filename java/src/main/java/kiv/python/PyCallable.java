package kiv.python;

import java.util.Map;
import java.util.Objects;

import kiv.Kiv;

/** A callable Python object (a function, a bound method, a class...). */
public class PyCallable extends PyObject {

    /** See {@link PyObject#PyObject(Kiv, long)}: called by the native library only. */
    protected PyCallable(Kiv kiv, long address) {
        super(kiv, address);
    }

    /** Calls it with positional arguments; the result has the Java type that suits it best. */
    public Object call(Object... args) {
        return callAs(Object.class, args);
    }

    /** Calls it with positional arguments and converts the result to {@code type}. */
    public <T> T callAs(Class<T> type, Object... args) {
        return callWithKeywords(type, args, null);
    }

    /**
     * Calls it with positional arguments (null for none) and keyword arguments (null
     * for none), and converts the result to {@code type}.
     */
    public <T> T callWithKeywords(Class<T> type, Object[] args, Map<String, ?> kwargs) {
        Objects.requireNonNull(type, "type");
        Class<T> boxed = boxed(type);
        return boxed.cast(callNative((o, r, a, kw, as) -> o.call(r, o.live(), a, kw, as), this, args, kwargs, boxed));
    }

    private native Object call(long record, long obj, Object[] args, Map<String, ?> kwargs, Class<?> as);
}
