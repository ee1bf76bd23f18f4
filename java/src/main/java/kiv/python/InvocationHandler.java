package kiv.python;

import java.lang.reflect.Method;

import kiv.Kiv;

/**
 * The handler of the Java proxies through which Python objects implement Java
 * interfaces ({@link kiv.Proxy}). Each call goes to the native library, which calls the
 * Python attribute named after the method (or, for a functional proxy, the Python
 * callable itself), or runs the Java default body of a method Python does not define.
 * <p>
 * Proxies may only be called on the thread of the interpreter that made them, while it
 * is open.
 */
public final class InvocationHandler implements java.lang.reflect.InvocationHandler {
    private final Kiv kiv;
    private final long address;
    private final boolean functional;
    private final PyPointer pointer;

    /**
     * For {@link kiv.Proxy}. The handler takes over the reference to the Python object
     * that the native library adds once the proxy exists.
     */
    public InvocationHandler(Kiv kiv, long address, boolean functional) {
        this.kiv = kiv;
        this.address = address;
        this.functional = functional;
        this.pointer = new PyPointer(kiv, address);
        PyObject.CLEANER.register(this, pointer);
    }

    @Override
    public Object invoke(Object proxy, Method method, Object[] args) throws Throwable {
        return PyObject.ACCESS.call(kiv, (h, record, p, m, a) -> {
            if (h.pointer.isReleased()) {
                throw new kiv.KivException("The Python object behind this proxy has been released");
            }
            return h.invoke(p, record, h.address, m, a, h.functional);
        }, this, proxy, method, args);
    }

    /** A view of the Python object behind the proxy; it owns no reference. */
    public PyObject getPyObject() {
        return new PyObject(kiv, pointer);
    }

    /** Gives back the proxy's reference to its Python object. Idempotent. */
    public void release() {
        pointer.release();
    }

    private native Object invoke(Object proxy, long record, long obj, Method m, Object[] args, boolean functional);
}
