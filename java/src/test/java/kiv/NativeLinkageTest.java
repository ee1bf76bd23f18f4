package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

import org.junit.jupiter.api.Test;

/**
 * Calls the record natives of kiv.Kiv directly with record 0: each must be bound (no
 * UnsatisfiedLinkError from a mangling mistake) and refuse cleanly without touching Python.
 */
class NativeLinkageTest {

    private static Throwable call(Kiv kiv, String name, Class<?>[] types, Object... args) throws Exception {
        Method m = Kiv.class.getDeclaredMethod(name, types);
        m.setAccessible(true);
        try {
            Object r = m.invoke(kiv, args);
            assertTrue(r == null || r.equals(0), name + " returned " + r);
            return null;
        } catch (InvocationTargetException e) {
            return e.getCause();
        }
    }

    @Test
    void recordNativesRefuseARecordOfZero() throws Exception {
        try (SharedInterpreter py = new SharedInterpreter()) {
            Class<?>[] recStr = {long.class, String.class};
            for (String name : new String[] {"run", "eval", "exec", "compileString"}) {
                Throwable t = call(py, name, recStr, 0L, "x = 1");
                assertTrue(t instanceof KivException, name + ": " + t);
                assertEquals("Couldn't get thread objects.", t.getMessage(), name);
            }
            // close(0) only warns on standard output.
            assertNull(call(py, "close", new Class<?>[] {long.class, boolean.class}, 0L, true));
            py.exec("assert 'x' not in globals()");
        }
    }

    @Test
    void aForeignObjectUnderTheModuleNameIsReplaced() {
        try (Interpreter base = new SubInterpreter()) {
            base.exec("import sys\nsys.modules['_kiv'] = 'not the module'");
            try (Interpreter shared = new SharedInterpreter(base, false)) {
                shared.exec("import _kiv\nassert _kiv.JINT_ID == 'i'\nassert isinstance(_kiv.__javaTypeCache__, dict)");
            }
        }
    }
}
