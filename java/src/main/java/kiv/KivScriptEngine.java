package kiv;

import java.io.IOException;
import java.io.Reader;
import java.io.Writer;
import java.lang.reflect.Method;
import java.util.AbstractMap;
import java.util.AbstractSet;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.Iterator;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Set;
import java.util.function.Supplier;

import javax.script.AbstractScriptEngine;
import javax.script.Bindings;
import javax.script.Compilable;
import javax.script.CompiledScript;
import javax.script.Invocable;
import javax.script.ScriptContext;
import javax.script.ScriptEngine;
import javax.script.ScriptEngineFactory;
import javax.script.ScriptException;
import javax.script.SimpleBindings;
import javax.script.SimpleScriptContext;

import kiv.python.PyCallable;
import kiv.python.PyObject;

/**
 * Python through {@code javax.script}: a script engine over one Kiv interpreter (by
 * default a {@link SharedInterpreter}, so NumPy works), made on first use.
 *
 * <pre>
 * ScriptEngine python = new ScriptEngineManager().getEngineByName("python");
 * python.put("n", 20);
 * python.eval("def fib(k):\n    return k if k &lt; 2 else fib(k - 1) + fib(k - 2)\n");
 * Object r = ((Invocable) python).invokeFunction("fib", 10);   // 55L
 * Object s = python.eval("fib(n) * 2");                        // the last expression's value
 * </pre>
 *
 * <ul>
 * <li>{@code eval} runs a script in the interpreter's globals and returns the value of
 * its last statement when that is an expression (converted as
 * {@link Interpreter#getValue(String)} converts), else null. A Python error becomes a
 * {@link ScriptException} with the file name ({@link ScriptEngine#FILENAME}, default
 * {@code "<script>"}) and the line of the script where it happened, and the
 * {@link KivException} as its cause.</li>
 * <li>The engine scope's {@link Bindings} are the Python globals, live: {@code put}
 * binds a global, {@code get} reads one; names like {@code __name__} are left out. Other
 * bindings given to {@code eval} (or set as the engine scope) are copied into the
 * globals before the script runs, and the names the script binds or rebinds are copied
 * back. Global-scope bindings (the {@code ScriptEngineManager}'s) are copied in for
 * names the engine scope lacks.</li>
 * <li>The context's writers take {@code sys.stdout} and {@code sys.stderr} while a script
 * runs, once they are not the ones the engine started with (those write straight to the
 * process's standard streams).</li>
 * <li>{@link Invocable}: functions are globals; methods are those of an object a script
 * returned. {@link Compilable}: a compiled script runs again without being parsed.</li>
 * </ul>
 *
 * <p>Threads: the interpreter belongs to the thread that first uses the engine, and
 * every later use must come from that thread (else {@link KivException}). Use an engine
 * per thread; {@link #close()} it on that thread when done.
 */
public final class KivScriptEngine extends AbstractScriptEngine implements Invocable, Compilable, AutoCloseable {
    private static final String RUNNER = "__kivscript__";

    private final KivScriptEngineFactory factory;
    private final Supplier<? extends Interpreter> maker;
    private final Writer defaultOut;
    private final Writer defaultErr;
    /** Names copied in from the global scope: copied again before each run. */
    private final Set<String> fromGlobalScope = new HashSet<>();
    private Interpreter python;
    private boolean closed;

    /**
     * An engine over an interpreter that {@code interpreterMaker} makes on first use (on
     * that thread), e.g. {@code SubInterpreter::new} for an isolated one.
     *
     * @param interpreterMaker makes the engine's interpreter; the engine closes it
     */
    public KivScriptEngine(Supplier<? extends Interpreter> interpreterMaker) {
        this(new KivScriptEngineFactory(), interpreterMaker);
    }

    KivScriptEngine(KivScriptEngineFactory factory, Supplier<? extends Interpreter> interpreterMaker) {
        this.factory = factory;
        this.maker = Objects.requireNonNull(interpreterMaker, "interpreterMaker");
        ScriptContext c = new SimpleScriptContext();
        c.setBindings(new GlobalsView(), ScriptContext.ENGINE_SCOPE);
        this.defaultOut = c.getWriter();
        this.defaultErr = c.getErrorWriter();
        setContext(c);
    }

    /** The interpreter, made now if this is the first use. */
    private Interpreter python() {
        if (closed) {
            throw new KivException("This script engine is closed");
        }
        if (python == null) {
            Interpreter p = maker.get();
            try {
                PythonModules.load(p, "_kivscript", "_kivscript.py");
                p.exec(RUNNER + " = __import__('_kivscript').Runner(globals())\n");
            } catch (RuntimeException e) {
                p.close();
                throw e;
            }
            python = p;
        }
        return python;
    }

    private Object runner(String method, Object... args) {
        return python().invoke(RUNNER + "." + method, args);
    }

    @Override
    public Object eval(String script, ScriptContext context) throws ScriptException {
        Objects.requireNonNull(script, "script");
        String file = fileName(context);
        PyObject compiled = compile(script, file);
        try {
            return run(compiled, file, context);
        } finally {
            compiled.close();
        }
    }

    @Override
    public Object eval(Reader reader, ScriptContext context) throws ScriptException {
        return eval(read(reader), context);
    }

    /** @return a new, empty {@link SimpleBindings} */
    @Override
    public Bindings createBindings() {
        return new SimpleBindings();
    }

    /** @return the factory of this engine */
    @Override
    public ScriptEngineFactory getFactory() {
        return factory;
    }

    private static String fileName(ScriptContext context) {
        Object f = context == null ? null : context.getAttribute(ScriptEngine.FILENAME);
        return f != null ? f.toString() : "<script>";
    }

    private static String read(Reader reader) throws ScriptException {
        Objects.requireNonNull(reader, "reader");
        StringBuilder b = new StringBuilder();
        char[] buffer = new char[8192];
        try {
            for (int n; (n = reader.read(buffer)) > 0;) {
                b.append(buffer, 0, n);
            }
        } catch (IOException e) {
            ScriptException se = new ScriptException("Cannot read the script: " + e);
            se.initCause(e);
            throw se;
        }
        return b.toString();
    }

    private PyObject compile(String script, String file) throws ScriptException {
        try {
            return (PyObject) runner("compile", script, file);
        } catch (KivException e) {
            throw scriptException(e, file);
        }
    }

    private Object run(PyObject compiled, String file, ScriptContext context) throws ScriptException {
        Bindings engineScope = context.getBindings(ScriptContext.ENGINE_SCOPE);
        boolean live = engineScope instanceof GlobalsView && ((GlobalsView) engineScope).owner() == this;
        try {
            Bindings globalScope = context.getBindings(ScriptContext.GLOBAL_SCOPE);
            if (globalScope != null) {
                for (Map.Entry<String, Object> e : globalScope.entrySet()) {
                    String name = e.getKey();
                    boolean inEngineScope = live ? !fromGlobalScope.contains(name) && asBoolean(runner("contains", name))
                            : engineScope != null && engineScope.containsKey(name);
                    if (!inEngineScope) {
                        runner("set", name, e.getValue());
                        fromGlobalScope.add(name);
                    }
                }
            }
            Object before = null;
            try {
                if (!live && engineScope != null) {
                    for (Map.Entry<String, Object> e : engineScope.entrySet()) {
                        runner("set", e.getKey(), e.getValue());
                        fromGlobalScope.remove(e.getKey());
                    }
                    before = runner("snapshot");
                }
                Writer out = context.getWriter() == defaultOut ? null : context.getWriter();
                Writer err = context.getErrorWriter() == defaultErr ? null : context.getErrorWriter();
                Object result = runner("run", compiled, out, err);
                if (before != null) {
                    copyBack(engineScope, before);
                }
                return result;
            } finally {
                if (before instanceof PyObject) {
                    ((PyObject) before).close();
                }
            }
        } catch (KivException e) {
            throw scriptException(e, file);
        }
    }

    /** Copies into foreign bindings what the script bound, rebound or deleted. */
    private void copyBack(Bindings bindings, Object before) {
        List<?> changes = (List<?>) runner("changes", before);
        for (Object name : (List<?>) changes.get(0)) {
            bindings.put((String) name, runner("get", name));
        }
        for (Object name : (List<?>) changes.get(1)) {
            bindings.remove(name);
        }
    }

    private static boolean asBoolean(Object o) {
        return Boolean.TRUE.equals(o);
    }

    /** The Python error as a ScriptException: its message, and the script line it came from. */
    private static ScriptException scriptException(KivException e, String file) {
        int line = -1;
        for (StackTraceElement f : e.getStackTrace()) {
            if (f.isNativeMethod()) {
                break;
            }
            if (file.equals(f.getFileName()) || file.equals(f.getClassName())) {
                line = f.getLineNumber();
                break; // the innermost frame of the script itself
            }
        }
        ScriptException se = new ScriptException(Main.pythonMessage(e.getMessage()), file, line);
        se.initCause(e);
        return se;
    }

    // ---- Invocable ------------------------------------------------------------------

    @Override
    public Object invokeFunction(String name, Object... args) throws ScriptException, NoSuchMethodException {
        Objects.requireNonNull(name, "name");
        if (!asBoolean(runner("is_function", name))) {
            throw new NoSuchMethodException("No Python function named " + name);
        }
        try {
            return runner("call", prepend(name, args));
        } catch (KivException e) {
            throw scriptException(e, "<script>");
        }
    }

    @Override
    public Object invokeMethod(Object thiz, String name, Object... args) throws ScriptException, NoSuchMethodException {
        if (thiz == null) {
            throw new IllegalArgumentException("invokeMethod needs an object");
        }
        Objects.requireNonNull(name, "name");
        if (!asBoolean(runner("has_method", thiz, name))) {
            throw new NoSuchMethodException("The object has no method " + name);
        }
        try {
            return runner("call_method", prepend(thiz, prepend(name, args)));
        } catch (KivException e) {
            throw scriptException(e, "<script>");
        }
    }

    @Override
    public <T> T getInterface(Class<T> type) {
        return implement(null, type);
    }

    @Override
    public <T> T getInterface(Object thiz, Class<T> type) {
        if (thiz == null) {
            throw new IllegalArgumentException("getInterface needs an object");
        }
        return implement(thiz, type);
    }

    /**
     * A Java object of the interface whose methods call the global functions (thiz null)
     * or the methods of thiz with the same names, converting their results to the
     * methods' return types. Null when a method has no Python counterpart.
     */
    private <T> T implement(Object thiz, Class<T> type) {
        if (type == null || !type.isInterface()) {
            throw new IllegalArgumentException("Not an interface: " + type);
        }
        for (Method m : type.getMethods()) {
            if (m.isDefault() || java.lang.reflect.Modifier.isStatic(m.getModifiers())) {
                continue;
            }
            Object found = thiz == null ? runner("is_function", m.getName()) : runner("has_method", thiz, m.getName());
            if (!asBoolean(found)) {
                return null;
            }
        }
        Object proxy = java.lang.reflect.Proxy.newProxyInstance(type.getClassLoader(), new Class<?>[] {type},
                (self, method, args) -> {
                    if (method.getDeclaringClass() == Object.class) {
                        switch (method.getName()) {
                            case "equals":
                                return self == args[0];
                            case "hashCode":
                                return System.identityHashCode(self);
                            default:
                                return "Python implementation of " + type.getName();
                        }
                    }
                    Object[] a = args == null ? new Object[0] : args;
                    String function = thiz == null ? "call" : "call_method";
                    Object[] callArgs = thiz == null ? prepend(method.getName(), a)
                            : prepend(thiz, prepend(method.getName(), a));
                    try (PyCallable call = python().getValue(RUNNER + "." + function, PyCallable.class)) {
                        if (method.getReturnType() == void.class) {
                            call.call(callArgs);
                            return null;
                        }
                        return call.callAs(method.getReturnType(), callArgs);
                    }
                });
        return type.cast(proxy);
    }

    private static Object[] prepend(Object first, Object[] rest) {
        Object[] all = new Object[(rest == null ? 0 : rest.length) + 1];
        all[0] = first;
        if (rest != null) {
            System.arraycopy(rest, 0, all, 1, rest.length);
        }
        return all;
    }

    // ---- Compilable -----------------------------------------------------------------

    @Override
    public CompiledScript compile(String script) throws ScriptException {
        Objects.requireNonNull(script, "script");
        String file = fileName(getContext());
        return new Compiled(compile(script, file), file);
    }

    @Override
    public CompiledScript compile(Reader script) throws ScriptException {
        return compile(read(script));
    }

    /** A script parsed and compiled once. */
    private final class Compiled extends CompiledScript {
        private final PyObject code;
        private final String file;

        Compiled(PyObject code, String file) {
            this.code = code;
            this.file = file;
        }

        @Override
        public Object eval(ScriptContext context) throws ScriptException {
            return run(code, file, context);
        }

        @Override
        public ScriptEngine getEngine() {
            return KivScriptEngine.this;
        }
    }

    /**
     * Closes the interpreter, if one was made. Must be called on the thread that used
     * the engine. The engine cannot be used afterwards.
     */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        if (python != null) {
            python.close();
        }
        closed = true;
    }

    /** The engine scope: the Python globals, live. Keys are non-empty strings. */
    private final class GlobalsView extends AbstractMap<String, Object> implements Bindings {
        KivScriptEngine owner() {
            return KivScriptEngine.this;
        }

        private String key(Object key) {
            Objects.requireNonNull(key, "key");
            if (!(key instanceof String)) {
                throw new ClassCastException("Bindings keys are strings");
            }
            if (((String) key).isEmpty()) {
                throw new IllegalArgumentException("Bindings keys are not empty");
            }
            return (String) key;
        }

        @Override
        public Object put(String name, Object value) {
            Object old = get(name);
            runner("set", key(name), value);
            fromGlobalScope.remove(name);
            return old;
        }

        @Override
        public void putAll(Map<? extends String, ? extends Object> map) {
            for (Map.Entry<? extends String, ? extends Object> e : map.entrySet()) {
                runner("set", key(e.getKey()), e.getValue());
                fromGlobalScope.remove(e.getKey());
            }
        }

        @Override
        public Object get(Object name) {
            return runner("get", key(name));
        }

        @Override
        public boolean containsKey(Object name) {
            return asBoolean(runner("contains", key(name)));
        }

        @Override
        public Object remove(Object name) {
            return runner("remove", key(name));
        }

        @Override
        public int size() {
            return names().size();
        }

        @Override
        public void clear() {
            for (String name : names()) {
                runner("remove", name);
            }
        }

        private List<String> names() {
            List<String> names = new ArrayList<>();
            for (Object o : (List<?>) runner("keys")) {
                names.add((String) o);
            }
            return names;
        }

        /** The bindings as they are now; removing through it removes the global. */
        @Override
        public Set<Map.Entry<String, Object>> entrySet() {
            List<String> names = names();
            return new AbstractSet<>() {
                @Override
                public Iterator<Map.Entry<String, Object>> iterator() {
                    Iterator<String> it = names.iterator();
                    return new Iterator<>() {
                        private String last;

                        @Override
                        public boolean hasNext() {
                            return it.hasNext();
                        }

                        @Override
                        public Map.Entry<String, Object> next() {
                            last = it.next();
                            return new SimpleEntry<>(last, runner("get", last)) {
                                private static final long serialVersionUID = 1L;

                                @Override
                                public Object setValue(Object value) {
                                    runner("set", getKey(), value);
                                    return super.setValue(value);
                                }
                            };
                        }

                        @Override
                        public void remove() {
                            if (last == null) {
                                throw new IllegalStateException();
                            }
                            runner("remove", last);
                            last = null;
                        }
                    };
                }

                @Override
                public int size() {
                    return names.size();
                }
            };
        }
    }
}
