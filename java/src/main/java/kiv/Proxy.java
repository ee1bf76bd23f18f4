package kiv;

import java.util.Objects;

import kiv.python.InvocationHandler;
import kiv.python.PyObject;

/**
 * Java proxies through which Python objects implement Java interfaces. The native
 * library makes them for {@code _kiv.jproxy} and for Python callables passed where a
 * functional interface is expected; Java code only needs {@link #getPyObject}. Proxies
 * may be called from any thread while their interpreter is open (see
 * {@link kiv.python.InvocationHandler}).
 */
public final class Proxy {
    private Proxy() {
    }

    /**
     * A proxy implementing the named interfaces, loaded through the interpreter's class
     * loader, whose methods call the Python object at {@code address}.
     *
     * @param kiv the interpreter the object belongs to
     * @param address the Python object
     * @param interfaceNames binary names of the interfaces
     * @return the proxy
     * @throws ClassNotFoundException if a name does not resolve
     * @throws IllegalArgumentException if a name is not an interface
     */
    public static Object newProxyInstance(Kiv kiv, long address, String[] interfaceNames)
            throws ClassNotFoundException {
        Objects.requireNonNull(kiv, "kiv");
        Objects.requireNonNull(interfaceNames, "interfaceNames");
        ClassLoader loader = kiv.getClassLoader();
        Class<?>[] interfaces = new Class<?>[interfaceNames.length];
        for (int i = 0; i < interfaceNames.length; i++) {
            Class<?> c = Class.forName(Objects.requireNonNull(interfaceNames[i], "interface name"), false, loader);
            if (!c.isInterface()) {
                throw new IllegalArgumentException(c.getName() + " is not an interface");
            }
            interfaces[i] = c;
        }
        return InvocationHandler.newProxy(kiv, address, loader, interfaces, false);
    }

    /**
     * A proxy implementing one functional interface: its abstract method calls the Python
     * callable at {@code address} itself, whatever the method's name.
     *
     * @param kiv the interpreter the callable belongs to
     * @param address the Python callable
     * @param functionalInterface the interface
     * @return the proxy
     */
    public static Object newDirectProxyInstance(Kiv kiv, long address, Class<?> functionalInterface) {
        Objects.requireNonNull(kiv, "kiv");
        Objects.requireNonNull(functionalInterface, "functionalInterface");
        if (!functionalInterface.isInterface()) {
            throw new IllegalArgumentException(functionalInterface.getName() + " is not an interface");
        }
        ClassLoader loader = functionalInterface.getClassLoader();
        if (loader == null) {
            // a JDK interface: any loader sees it
            loader = kiv.getClassLoader();
        }
        return InvocationHandler.newProxy(kiv, address, loader, new Class<?>[] {functionalInterface}, true);
    }

    /**
     * The Python object behind a proxy made here, as a view that owns no reference (it
     * stays valid while the proxy holds its own); null for any other object.
     *
     * @param proxy any object, or null
     * @return the Python object, or null
     */
    public static PyObject getPyObject(Object proxy) {
        if (proxy != null && java.lang.reflect.Proxy.isProxyClass(proxy.getClass())
                && java.lang.reflect.Proxy.getInvocationHandler(proxy) instanceof InvocationHandler) {
            return ((InvocationHandler) java.lang.reflect.Proxy.getInvocationHandler(proxy)).getPyObject();
        }
        return null;
    }
}
