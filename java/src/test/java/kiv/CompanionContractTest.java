package kiv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;
import java.lang.reflect.Constructor;
import java.lang.reflect.Executable;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;

import org.junit.jupiter.api.Test;

/**
 * The native library finds these members by name and JNI signature, and binds the
 * natives by name; a wrong signature only shows at run time as NoSuchMethodError or
 * UnsatisfiedLinkError, so it is checked here against the compiled classes.
 */
class CompanionContractTest {

    /** The Java members the library calls: class, name ("<init>" for constructors), signature, static. */
    private static final Object[][] CALLED = {
        {"kiv.python.PyObject", "<init>", "(Lkiv/Kiv;J)V", false},
        {"kiv.python.PyObject", "getPyObject", "()J", false},
        {"kiv.python.PyCallable", "<init>", "(Lkiv/Kiv;J)V", false},
        {"kiv.Proxy", "newProxyInstance", "(Lkiv/Kiv;J[Ljava/lang/String;)Ljava/lang/Object;", true},
        {"kiv.Proxy", "newDirectProxyInstance", "(Lkiv/Kiv;JLjava/lang/Class;)Ljava/lang/Object;", true},
        {"kiv.Proxy", "getPyObject", "(Ljava/lang/Object;)Lkiv/python/PyObject;", true},
        {"kiv.KivException", "<init>", "(Ljava/lang/String;)V", false},
        {"kiv.KivException", "<init>", "(Ljava/lang/String;J)V", false},
        {"kiv.KivException", "<init>", "(Ljava/lang/String;Ljava/lang/Throwable;)V", false},
        {"kiv.KivException", "getPythonType", "()J", false},
        {"kiv.KivException", "<init>",
            "(Ljava/lang/String;Ljava/lang/Throwable;JLjava/lang/String;Ljava/lang/String;)V", false},
        {"kiv.SystemExitException", "<init>", "(Ljava/lang/String;JLjava/lang/String;I)V", false},
        {"kiv.SystemExitException", "getStatus", "()I", false},
        {"kiv.Kiv", "systemExitThrows", "Z (field)", false},
        {"kiv.PyMethod", "varargs", "()Z", false},
        {"kiv.PyMethod", "kwargs", "()Z", false},
        {"kiv.NDArray", "<init>", "(Ljava/lang/Object;Z[I)V", false},
        {"kiv.NDArray", "getDimensions", "()[I", false},
        {"kiv.NDArray", "getData", "()Ljava/lang/Object;", false},
        {"kiv.NDArray", "isUnsigned", "()Z", false},
        {"kiv.DirectNDArray", "getDimensions", "()[I", false},
        {"kiv.DirectNDArray", "getData", "()Ljava/lang/Object;", false},
        {"kiv.DirectNDArray", "isUnsigned", "()Z", false},
    };

    /** Every native the library implements: class, name, signature, static. */
    private static final Object[][] NATIVES = {
        {"kiv.MainInterpreter", "initializePython", "(Z[Ljava/lang/String;IILjava/lang/String;IILjava/lang/String;IIIII)V", true},
        {"kiv.MainInterpreter", "sharedImportInternal", "(Ljava/lang/String;)V", true},
        {"kiv.MainInterpreter", "routeSignalsNative", "()V", true},
        {"kiv.MainInterpreter", "consoleReading", "(Z)V", true},
        {"kiv.MainInterpreter", "consoleInterrupts", "()Z", true},
        {"kiv.Kiv", "init_sub", "(Ljava/lang/ClassLoader;ZZIIIIIII)J", false},
        {"kiv.Kiv", "init_shared", "(Ljava/lang/ClassLoader;JZ)J", false},
        {"kiv.Kiv", "close", "(JZ)V", false},
        {"kiv.Kiv", "awaitThreads", "(JJ)V", false},
        {"kiv.Kiv", "run", "(JLjava/lang/String;)V", false},
        {"kiv.Kiv", "eval", "(JLjava/lang/String;)V", false},
        {"kiv.Kiv", "exec", "(JLjava/lang/String;)V", false},
        {"kiv.Kiv", "compileString", "(JLjava/lang/String;)I", false},
        {"kiv.Kiv", "invoke", "(JLjava/lang/String;[Ljava/lang/Object;[JLjava/util/Map;)Ljava/lang/Object;", false},
        {"kiv.Kiv", "getValue", "(JLjava/lang/String;Ljava/lang/Class;)Ljava/lang/Object;", false},
        {"kiv.Kiv", "set", "(JLjava/lang/String;Ljava/lang/Object;)V", false},
        {"kiv.Kiv", "interruptNative", "(J)V", false},
        {"kiv.Kiv", "withdrawInterrupt", "(J)Z", false},
        {"kiv.python.PyObject", "getAttr", "(JJLjava/lang/String;Ljava/lang/Class;)Ljava/lang/Object;", false},
        {"kiv.python.PyObject", "setAttr", "(JJLjava/lang/String;Ljava/lang/Object;)V", false},
        {"kiv.python.PyObject", "delAttr", "(JJLjava/lang/String;)V", false},
        {"kiv.python.PyObject", "equals", "(JJLjava/lang/Object;)Z", false},
        {"kiv.python.PyObject", "toString", "(JJ)Ljava/lang/String;", false},
        {"kiv.python.PyObject", "hashCode", "(JJ)J", false},
        {"kiv.python.PyObject", "as", "(JJLjava/lang/Class;)Ljava/lang/Object;", false},
        {"kiv.python.PyObject", "isNone", "(JJ)Z", false},
        {"kiv.python.PyObject", "isCallable", "(JJ)Z", false},
        {"kiv.python.PyObject", "hasAttr", "(JJLjava/lang/String;)Z", false},
        {"kiv.python.PyObject", "len", "(JJ)J", false},
        {"kiv.python.PyObject", "getItem", "(JJLjava/lang/Object;Ljava/lang/Class;)Ljava/lang/Object;", false},
        {"kiv.python.PyObject", "setItem", "(JJLjava/lang/Object;Ljava/lang/Object;)V", false},
        {"kiv.python.PyObject", "delItem", "(JJLjava/lang/Object;)V", false},
        {"kiv.python.PyObject", "iter", "(JJ)Lkiv/python/PyObject;", false},
        {"kiv.python.PyObject", "next", "(JJLjava/lang/Class;Ljava/lang/Object;)Ljava/lang/Object;", false},
        {"kiv.python.PyCallable", "call", "(JJ[Ljava/lang/Object;Ljava/util/Map;Ljava/lang/Class;)Ljava/lang/Object;", false},
        {"kiv.python.PyPointer", "decref", "(JJ)V", false},
        {"kiv.python.InvocationHandler", "invoke",
            "(Ljava/lang/Object;JJLjava/lang/reflect/Method;[Ljava/lang/Object;Z)Ljava/lang/Object;", false},
    };

    @Test
    void membersCalledByTheLibraryHaveTheirSignatures() throws Exception {
        List<String> missing = new ArrayList<>();
        for (Object[] row : CALLED) {
            Class<?> c = Class.forName((String) row[0]);
            String name = (String) row[1];
            String signature = (String) row[2];
            boolean isStatic = (Boolean) row[3];
            if (signature.endsWith(" (field)")) {
                // A field the library reads: its descriptor, then " (field)".
                java.lang.reflect.Field f = c.getDeclaredField(name);
                String type = signature.substring(0, signature.length() - " (field)".length());
                if (!f.getType().descriptorString().equals(type) || Modifier.isStatic(f.getModifiers()) != isStatic) {
                    missing.add(row[0] + "." + name + " " + type + "; is " + f.getType().descriptorString());
                }
                continue;
            }
            List<Executable> candidates = new ArrayList<>(Arrays.asList(c.getDeclaredConstructors()));
            candidates.addAll(Arrays.asList(c.getDeclaredMethods()));
            boolean found = candidates.stream().anyMatch(e -> name(e).equals(name) && signature(e).equals(signature)
                    && Modifier.isStatic(e.getModifiers()) == isStatic);
            if (!found) {
                missing.add(row[0] + "." + name + signature + (isStatic ? " (static)" : "") + "; has "
                        + candidates.stream().filter(e -> name(e).equals(name)).map(CompanionContractTest::signature)
                                .collect(Collectors.toList()));
            }
        }
        assertEquals(List.of(), missing);
    }

    /**
     * Each native is bound by its short JNI name, so a class may declare only one native
     * of a given name (Kiv.set included: the library exports one symbol for it).
     */
    @Test
    void nativesAreUniqueByNameAndHaveTheirSignatures() throws Exception {
        List<String> problems = new ArrayList<>();
        for (Object[] row : NATIVES) {
            Class<?> c = Class.forName((String) row[0]);
            List<Method> natives = Arrays.stream(c.getDeclaredMethods())
                    .filter(m -> Modifier.isNative(m.getModifiers()) && m.getName().equals(row[1]))
                    .collect(Collectors.toList());
            if (natives.size() != 1) {
                problems.add(row[0] + "." + row[1] + ": " + natives.size() + " natives of that name");
                continue;
            }
            Method m = natives.get(0);
            if (!signature(m).equals(row[2]) || Modifier.isStatic(m.getModifiers()) != (Boolean) row[3]) {
                problems.add(row[0] + "." + row[1] + ": " + signature(m) + " static=" + Modifier.isStatic(m.getModifiers()));
            }
        }
        assertEquals(List.of(), problems);
    }

    @Test
    void pyMethodIsVisibleAtRunTimeOnMethodsAndConstructors() throws Exception {
        assertEquals(RetentionPolicy.RUNTIME, PyMethod.class.getAnnotation(Retention.class).value());
        assertArrayEquals(new ElementType[] {ElementType.METHOD, ElementType.CONSTRUCTOR},
                PyMethod.class.getAnnotation(Target.class).value());
        assertEquals(false, PyMethod.class.getMethod("varargs").getDefaultValue());
        assertEquals(false, PyMethod.class.getMethod("kwargs").getDefaultValue());
    }

    @Test
    void onlyKivProxiesHaveAPythonObjectBehindThem() {
        assertNull(Proxy.getPyObject(null));
        assertNull(Proxy.getPyObject("not a proxy"));
        Runnable foreign = (Runnable) java.lang.reflect.Proxy.newProxyInstance(getClass().getClassLoader(),
                new Class<?>[] {Runnable.class}, (p, m, a) -> null);
        assertNull(Proxy.getPyObject(foreign));
    }

    private static String name(Executable e) {
        return e instanceof Constructor ? "<init>" : e.getName();
    }

    static String signature(Executable e) {
        StringBuilder b = new StringBuilder("(");
        for (Class<?> p : e.getParameterTypes()) {
            b.append(p.descriptorString());
        }
        b.append(')');
        b.append(e instanceof Method ? ((Method) e).getReturnType().descriptorString() : "V");
        return b.toString();
    }
}
