package kiv;

import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.IdentityHashMap;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;

/**
 * The Java side of one interpreter binding: a native record that ties a Python thread
 * state (in a sub-interpreter of its own, or in an existing interpreter) to the Java
 * thread that made it. All use is confined to that thread.
 */
public abstract class Kiv implements Interpreter {
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
     * Checks the calling thread and the open state, and marks the start of a native call.
     * Returns the record address to pass to the native.
     */
    final long enter() {
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

    final void leave() {
        depth--;
    }

    @Override
    public void exec(String code) {
        long r = enter();
        try {
            exec(r, code);
        } finally {
            leave();
        }
    }

    @Override
    public void eval(String statement) {
        long r = enter();
        try {
            eval(r, statement);
        } finally {
            leave();
        }
    }

    @Override
    public void runScript(String path) {
        long r = enter();
        try {
            run(r, path);
        } finally {
            leave();
        }
    }

    @Override
    public int compileString(String statement) {
        long r = enter();
        try {
            return compileString(r, statement);
        } finally {
            leave();
        }
    }

    @Override
    public Object getValue(String expression) {
        return getValue(expression, Object.class);
    }

    @Override
    public <T> T getValue(String expression, Class<T> type) {
        Class<T> boxed = Boxing.boxed(type == null ? null : type);
        long r = enter();
        try {
            return boxed.cast(getValue(r, expression, boxed));
        } finally {
            leave();
        }
    }

    @Override
    public void set(String name, Object value) {
        long r = enter();
        try {
            set(r, name, value);
        } finally {
            leave();
        }
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
        long r = enter();
        try {
            return invoke(r, name, args, (Map<String, Object>) kwargs);
        } finally {
            leave();
        }
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
