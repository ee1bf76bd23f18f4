package kiv.python;

import java.lang.reflect.Method;

import kiv.Kiv;
import kiv.KivException;

/**
 * The handler of the Java proxies through which Python objects implement Java
 * interfaces ({@link kiv.Proxy}). Each call goes to the native library, which calls the
 * Python attribute named after the method (or, for a functional proxy, the Python
 * callable itself), or runs the Java body of a default method, or of a method of
 * {@code java.lang.Object}, that the Python object does not define.
 * <p>
 * Proxies may be called from any thread while the interpreter that made them is open;
 * each call takes that interpreter's lock for its Python work. A Python exception
 * reaches the caller as {@link KivException}; a Java exception raised by Java code that
 * the Python method called, or by a Java default body, reaches it unchanged.
 */
public final class InvocationHandler implements java.lang.reflect.InvocationHandler {
    private final Kiv kiv;
    private final long address;
    private final boolean functional;
    private final PyPointer pointer;

    private InvocationHandler(Kiv kiv, long address, boolean functional) {
        this.kiv = kiv;
        this.address = address;
        this.functional = functional;
        this.pointer = new PyPointer(kiv, address);
    }

    /**
     * For {@link kiv.Proxy}: a proxy implementing the interfaces whose calls go to the
     * Python object at {@code address}. The proxy takes over the reference to that object
     * which the native library adds once this returns; if making the proxy fails, nothing
     * will ever give a reference back.
     *
     * @param kiv the interpreter the object belongs to
     * @param address the Python object
     * @param loader the class loader that defines the proxy class
     * @param interfaces the interfaces the proxy implements
     * @param functional whether the one abstract method calls the object itself (a
     *        callable) rather than its method of the same name
     * @return the proxy
     */
    public static Object newProxy(Kiv kiv, long address, ClassLoader loader, Class<?>[] interfaces,
            boolean functional) {
        InvocationHandler h = new InvocationHandler(kiv, address, functional);
        Object proxy = java.lang.reflect.Proxy.newProxyInstance(loader, interfaces, h);
        PyObject.CLEANER.register(h, h.pointer);
        h.pointer.track();
        return proxy;
    }

    @Override
    public Object invoke(Object proxy, Method method, Object[] args) throws Throwable {
        Object result = PyObject.ACCESS.call(kiv,
                (h, record, p, m, a) -> h.invoke(p, record, h.live(), m, a, h.functional), this, proxy, method, args);
        if (result == null) {
            Class<?> type = method.getReturnType();
            if (type.isPrimitive() && type != void.class) {
                throw new KivException("Python method '" + method.getName() + "' returned None where " + type
                        + " is required");
            }
        }
        return result;
    }

    /**
     * A view of the Python object behind the proxy; it owns no reference.
     *
     * @return the view
     */
    public PyObject getPyObject() {
        return new PyObject(kiv, pointer);
    }

    /** Gives back the proxy's reference to its Python object, from any thread. Idempotent. */
    public void release() {
        pointer.release();
    }

    private long live() {
        if (pointer.isReleased()) {
            throw new KivException("The Python object behind this proxy has been released");
        }
        return address;
    }

    private native Object invoke(Object proxy, long record, long obj, Method m, Object[] args, boolean functional);
}
