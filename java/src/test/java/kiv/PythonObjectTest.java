package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Constructor;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.Supplier;

import org.junit.jupiter.api.Test;

import kiv.python.PyObject;

/** The Java handles on Python objects refuse misuse before reaching the native library. */
class PythonObjectTest {

    /** Runs on a new thread and returns what it threw. */
    static Throwable thrownOnAnotherThread(Runnable r) throws InterruptedException {
        AtomicReference<Throwable> thrown = new AtomicReference<>();
        Thread t = new Thread(() -> {
            try {
                r.run();
            } catch (Throwable e) {
                thrown.set(e);
            }
        });
        t.start();
        t.join();
        return thrown.get();
    }

    /**
     * The checks made in Java before any native call. The address is made up: these
     * paths must refuse before handing it to the library.
     */
    @Test
    void refusedUsesNeverReachTheLibrary() throws Exception {
        long madeUp = 0xdead0L;
        PyObject o;
        Runnable proxy;
        try (SubInterpreter py = new SubInterpreter()) {
            Constructor<PyObject> c = PyObject.class.getDeclaredConstructor(Kiv.class, long.class);
            c.setAccessible(true);
            o = c.newInstance(py, madeUp);
            proxy = (Runnable) Proxy.newDirectProxyInstance(py, madeUp, Runnable.class);
            for (Runnable use : new Runnable[] {o::toString, o::close, proxy::run, () -> o.getAttr("a")}) {
                Throwable t = thrownOnAnotherThread(use);
                assertTrue(t instanceof KivException && t.getMessage().contains("belongs to thread"), String.valueOf(t));
            }
            PyObject view = Proxy.getPyObject(proxy);
            assertEquals(madeUp, view.getPyObject());
            view.close(); // owns nothing, so gives nothing back
        }
        assertTrue(assertThrows(KivException.class, o::toString).getMessage().contains("closed"));
        assertTrue(assertThrows(KivException.class, proxy::run).getMessage().contains("closed"));
        o.close(); // the interpreter is gone: nothing to give back to
    }

    @Test
    void proxiesFindTheirInterfacesByName() throws Exception {
        long madeUp = 0xdead0L;
        try (SubInterpreter py = new SubInterpreter()) {
            Object p = Proxy.newProxyInstance(py, madeUp, new String[] {"java.lang.Runnable", "java.util.function.Supplier"});
            assertTrue(p instanceof Runnable && p instanceof Supplier, p.getClass().toString());
            assertEquals(madeUp, Proxy.getPyObject(p).getPyObject());
            assertThrows(ClassNotFoundException.class,
                    () -> Proxy.newProxyInstance(py, madeUp, new String[] {"no.such.Interface"}));
            assertThrows(IllegalArgumentException.class,
                    () -> Proxy.newProxyInstance(py, madeUp, new String[] {"java.lang.String"}));
            assertThrows(IllegalArgumentException.class, () -> Proxy.newDirectProxyInstance(py, madeUp, String.class));
        }
    }
}
