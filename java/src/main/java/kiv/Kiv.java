package kiv;

import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.IdentityHashMap;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;

import kiv.internal.KivAccess;
import kiv.internal.NativeCall;
import kiv.internal.OwnedReference;

/**
 * The Java side of one interpreter binding: a native record that ties a Python thread
 * state (in a sub-interpreter of its own, or in an existing interpreter) to the Java
 * thread that made it. All use is confined to that thread.
 */
public abstract class Kiv implements Interpreter {
    static {
        KivAccess.install(new Access());
    }

    private final Thread owner;
    private final ClassLoader classLoader;
    private final boolean ownsInterpreter;
    private final Kiv base;
    private final Object lock = new Object();
    private final Set<Kiv> dependents = new HashSet<>();
    /** References to Python objects that Java objects own; used on the owner thread only. */
    private final Set<OwnedReference> owned = Collections.newSetFromMap(new IdentityHashMap<>());
    /** References whose Java holder was garbage collected, queued by the cleaner thread. */
    private final ConcurrentLinkedQueue<OwnedReference> unreachable = new ConcurrentLinkedQueue<>();
    private long record;
    private int depth;
    private volatile boolean closed;
    private boolean closing;

    /** A new sub-interpreter. */
    Kiv(SubInterpreterOptions options, KivConfig config) {
        if (options == null) {
            options = new SubInterpreterOptions();
        }
        if (config == null) {
            config = new KivConfig();
        }
        MainInterpreter.start();
        this.owner = Thread.currentThread();
        this.classLoader = config.effectiveClassLoader();
        this.ownsInterpreter = true;
        this.base = null;
        this.record = init_sub(classLoader, options.publishMainModules, options.isolatedBase,
                options.useMainObmalloc, options.allowFork, options.allowExec, options.allowThreads,
                options.allowDaemonThreads, options.checkMultiInterpExtensions, options.ownGil);
        finishSetUp(config);
    }

    /** A new thread state in the main interpreter (base null) or in base's interpreter. */
    Kiv(Kiv base, boolean shareGlobals, KivConfig config) {
        if (config == null) {
            config = new KivConfig();
        }
        MainInterpreter.start();
        this.owner = Thread.currentThread();
        this.classLoader = config.effectiveClassLoader();
        this.ownsInterpreter = false;
        this.base = base;
        if (base == null) {
            this.record = init_shared(classLoader, 0L, shareGlobals);
        } else {
            synchronized (base.lock) {
                if (base.closed || base.closing || base.record == 0) {
                    throw new KivException("The base interpreter is closed");
                }
                base.dependents.add(this);
                try {
                    this.record = init_shared(classLoader, base.record, shareGlobals);
                } finally {
                    if (this.record == 0) {
                        base.dependents.remove(this);
                    }
                }
            }
        }
        finishSetUp(config);
    }

    private void finishSetUp(KivConfig config) {
        if (record == 0) {
            // The native side always throws when it fails; this is a backstop.
            throw new KivException("Interpreter set-up failed");
        }
        PythonModules.installJavaImports(this);
        if (!config.includePaths.isEmpty()) {
            StringBuilder code = new StringBuilder("import sys\nsys.path[0:0] = [");
            for (String p : config.includePaths) {
                code.append(PythonLiterals.string(p)).append(", ");
            }
            code.append("]\n");
            try {
                exec(code.toString());
            } catch (RuntimeException e) {
                try {
                    close();
                } catch (RuntimeException suppressed) {
                    e.addSuppressed(suppressed);
                }
                throw e;
            }
        }
    }

    /** The thread this interpreter belongs to. */
    public final Thread getOwnerThread() {
        return owner;
    }

    public final boolean isClosed() {
        return closed;
    }

    /** The class loader through which this interpreter's Python code finds Java classes. */
    final ClassLoader getClassLoader() {
        return classLoader;
    }

    /**
     * The one wrapper of every native call on this binding, whether from here, from the
     * Python objects it produced or from their proxies: passes the record address to
     * {@code op} between {@link #enter} and the end of the call. Kept small, so that the
     * JIT inlines it and {@code op} into each caller.
     */
    final <T, A, B, C, R> R callNative(NativeCall<T, A, B, C, R> op, T target, A a, B b, C c) {
        long r = enter();
        try {
            return op.call(target, r, a, b, c);
        } finally {
            depth--;
        }
    }

    /**
     * Checks the calling thread and the open state, and marks the start of a native call
     * (close() refuses to run inside one); the outermost call first gives back the
     * references the cleaner queued. Returns the record address.
     */
    private long enter() {
        if (Thread.currentThread() != owner) {
            throw new KivException("This interpreter belongs to thread \"" + owner.getName()
                    + "\" and cannot be used from thread \"" + Thread.currentThread().getName() + "\"");
        }
        if (closed || record == 0) {
            throw new KivException("This interpreter is closed");
        }
        depth++;
        if (depth == 1 && !unreachable.isEmpty()) {
            releaseUnreachable();
        }
        return record;
    }

    private void releaseUnreachable() {
        OwnedReference r;
        while ((r = unreachable.poll()) != null) {
            if (owned.contains(r)) {
                r.releaseIn(record);
            }
        }
    }

    final void track(OwnedReference r) {
        owned.add(r);
    }

    final void untrack(OwnedReference r) {
        owned.remove(r);
    }

    final void queueRelease(OwnedReference r) {
        unreachable.add(r);
    }

    @Override
    public void exec(String code) {
        callNative((k, r, text, b, c) -> {
            k.exec(r, text);
            return null;
        }, this, code, null, null);
    }

    @Override
    public void eval(String statement) {
        callNative((k, r, text, b, c) -> {
            k.eval(r, text);
            return null;
        }, this, statement, null, null);
    }

    @Override
    public void runScript(String path) {
        callNative((k, r, file, b, c) -> {
            k.run(r, file);
            return null;
        }, this, path, null, null);
    }

    @Override
    public int compileString(String statement) {
        return callNative((k, r, text, b, c) -> k.compileString(r, text), this, statement, null, null);
    }

    @Override
    public Object getValue(String expression) {
        return getValue(expression, Object.class);
    }

    @Override
    public <T> T getValue(String expression, Class<T> type) {
        Class<T> boxed = Boxing.boxed(type == null ? null : type);
        return boxed.cast(callNative((k, r, text, as, c) -> k.getValue(r, text, as), this, expression, boxed, null));
    }

    @Override
    public void set(String name, Object value) {
        callNative((k, r, n, v, c) -> {
            k.set(r, n, v);
            return null;
        }, this, name, value, null);
    }

    @Override
    public Object invoke(String name, Object... args) {
        return invoke(name, args, null);
    }

    @Override
    public Object invoke(String name, Map<String, ?> kwargs) {
        return invoke(name, null, kwargs);
    }

    @Override
    @SuppressWarnings("unchecked")
    public Object invoke(String name, Object[] args, Map<String, ?> kwargs) {
        return callNative((k, r, n, a, kw) -> k.invoke(r, n, a, kw), this, name, args, (Map<String, Object>) kwargs);
    }

    @Override
    public void close() {
        if (closed) {
            return;
        }
        if (Thread.currentThread() != owner) {
            throw new KivException("This interpreter belongs to thread \"" + owner.getName()
                    + "\" and can only be closed there, not from thread \"" + Thread.currentThread().getName() + "\"");
        }
        if (depth > 0) {
            throw new KivException("Cannot close an interpreter from inside a call on it");
        }
        synchronized (lock) {
            if (!dependents.isEmpty()) {
                throw new KivException("Cannot close an interpreter while " + dependents.size()
                        + " shared interpreter(s) made on it are open");
            }
            closing = true;
        }
        boolean done = false;
        try {
            // Java objects that still hold Python references let go of them first.
            depth++;
            try {
                for (OwnedReference r : new ArrayList<>(owned)) {
                    r.releaseIn(record);
                }
                unreachable.clear();
            } finally {
                depth--;
            }
            close(record, ownsInterpreter);
            done = true;
        } finally {
            synchronized (lock) {
                closing = false;
                if (done) {
                    record = 0;
                    closed = true;
                }
            }
            if (done && base != null) {
                synchronized (base.lock) {
                    base.dependents.remove(this);
                }
            }
        }
    }

    /** The bridge through which kiv.python reaches the members above. */
    private static final class Access extends KivAccess {
        @Override
        public <T, A, B, C, R> R call(Kiv kiv, NativeCall<T, A, B, C, R> op, T target, A a, B b, C c) {
            return kiv.callNative(op, target, a, b, c);
        }

        @Override
        public void track(Kiv kiv, OwnedReference reference) {
            kiv.track(reference);
        }

        @Override
        public void untrack(Kiv kiv, OwnedReference reference) {
            kiv.untrack(reference);
        }

        @Override
        public void queueRelease(Kiv kiv, OwnedReference reference) {
            kiv.queueRelease(reference);
        }
    }

    // ---- natives ------------------------------------------------------------------

    private native long init_sub(ClassLoader classLoader, boolean publishMainModules, boolean isolatedBase,
            int useMainObmalloc, int allowFork, int allowExec, int allowThreads, int allowDaemonThreads,
            int checkMultiInterpExtensions, int ownGil);

    private native long init_shared(ClassLoader classLoader, long baseRecord, boolean shareGlobals);

    private native void close(long record, boolean endInterpreter);

    private native void run(long record, String file);

    private native void eval(long record, String code);

    private native void exec(long record, String code);

    private native int compileString(long record, String code);

    native Object invoke(long record, String name, Object[] args, Map<String, Object> kwargs);

    native Object getValue(long record, String expression, Class<?> as);

    native void set(long record, String name, Object value);
}
