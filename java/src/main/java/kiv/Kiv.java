package kiv;

import java.util.HashSet;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicInteger;

import kiv.internal.KivAccess;
import kiv.internal.NativeSupport;
import kiv.internal.NativeCall;
import kiv.internal.OwnedReference;

/**
 * The Java side of one interpreter binding: a native record that ties a Python thread
 * state (in a sub-interpreter of its own, or in an existing interpreter) to the Java
 * thread that made it. The {@link Interpreter} methods are confined to that thread; the
 * Python objects and proxies the binding hands out may be used from any thread while it
 * is open (each other thread runs Python through a thread state of its own).
 */
public abstract class Kiv implements Interpreter {
    static {
        KivAccess.install(new Access());
    }

    private static final int OPEN = 0;
    private static final int CLOSING = 1;
    private static final int CLOSED = 2;

    private final Thread owner;
    private final ClassLoader classLoader;
    private final boolean ownsInterpreter;
    private final Kiv base;
    private final Object lock = new Object();
    private final Set<Kiv> dependents = new HashSet<>();
    /** References to Python objects that Java objects own, given back when this closes. */
    private final Set<OwnedReference> owned = ConcurrentHashMap.newKeySet();
    /** References whose Java holder was garbage collected, queued by the cleaner thread. */
    private final ConcurrentLinkedQueue<OwnedReference> unreachable = new ConcurrentLinkedQueue<>();
    /** Native calls in progress on threads other than the owner. */
    private final AtomicInteger foreignCalls = new AtomicInteger();
    private volatile long record;
    /** Native calls in progress on the owner thread (nested ones included). */
    private int depth;
    private volatile int state = OPEN;
    /**
     * The number of the Python interpreter this binding uses, written by the native
     * library when it makes the binding. Python objects carry it and are refused by other
     * interpreters.
     */
    private long interpreterId = -1;
    /** Read by the native library when SystemExit leaves Python code (see KivConfig). */
    private final boolean systemExitThrows;
    /** How long close() waits for a sub-interpreter's Python threads. */
    private final long closeTimeoutMillis;
    /** interrupt() was asked for during the owner's current call: withdrawn at its end. */
    private volatile boolean interruptAsked;
    /** That request came from Thread.interrupt() of the owner (see InterruptWatch). */
    private volatile boolean threadInterruptAsked;

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
        this.systemExitThrows = config.systemExitThrows;
        this.closeTimeoutMillis = Math.min(options.closeTimeout.toMillis(), Long.MAX_VALUE / 2);
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
        this.systemExitThrows = config.systemExitThrows;
        this.closeTimeoutMillis = 0;
        this.ownsInterpreter = false;
        this.base = base;
        if (base == null) {
            this.record = init_shared(classLoader, 0L, shareGlobals);
        } else {
            synchronized (base.lock) {
                if (base.state != OPEN || base.record == 0) {
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
        InterruptWatch.watch(this);
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

    /**
     * The thread this interpreter belongs to.
     *
     * @return the thread that made it
     */
    public final Thread getOwnerThread() {
        return owner;
    }

    /**
     * Whether {@link #close()} has finished.
     *
     * @return true once closed
     */
    public final boolean isClosed() {
        return state == CLOSED;
    }

    /** The class loader through which this interpreter's Python code finds Java classes. */
    final ClassLoader getClassLoader() {
        return classLoader;
    }

    /**
     * The one wrapper of the native calls of the {@link Interpreter} methods, which only
     * the owner thread may make: passes the record address to {@code op} between
     * {@link #enter} and the end of the call. Kept small, so that the JIT inlines it and
     * {@code op} into each caller.
     */
    final <T, A, B, C, R> R callNative(NativeCall<T, A, B, C, R> op, T target, A a, B b, C c) {
        long r = enter();
        try {
            return op.call(target, r, a, b, c);
        } finally {
            if (--depth == 0 && interruptAsked) {
                endInterrupt();
            }
        }
    }

    /**
     * The wrapper of the native calls on the Python objects and proxies of this binding,
     * from any thread. On the owner thread it is {@link #callNative}; another thread is
     * counted in for the call, so that {@link #close()} can refuse to run meanwhile.
     */
    final <T, A, B, C, R> R callAny(NativeCall<T, A, B, C, R> op, T target, A a, B b, C c) {
        if (Thread.currentThread() == owner) {
            return callNative(op, target, a, b, c);
        }
        foreignCalls.incrementAndGet();
        try {
            // Read after counting in: close() sets CLOSING before it looks at the count.
            if (state != OPEN) {
                throw notOpen();
            }
            long r = record;
            if (r == 0) {
                throw notOpen();
            }
            if (!unreachable.isEmpty()) {
                releaseUnreachable(r);
            }
            return op.call(target, r, a, b, c);
        } finally {
            foreignCalls.decrementAndGet();
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
        if (state != OPEN || record == 0) {
            throw notOpen();
        }
        depth++;
        if (depth == 1 && !unreachable.isEmpty()) {
            releaseUnreachable(record);
        }
        return record;
    }

    @Override
    public void interrupt() {
        synchronized (lock) {
            if (state != OPEN || record == 0) {
                return;
            }
            interruptAsked = true;
            interruptNative(record);
        }
    }

    /**
     * The owner's outermost call ended after interrupt() was asked for: a
     * KeyboardInterrupt not raised yet is withdrawn, and one raised for Thread.interrupt()
     * clears the thread's interrupt status, as InterruptedException does.
     */
    private void endInterrupt() {
        boolean withdrawn;
        synchronized (lock) {
            interruptAsked = false;
            withdrawn = record != 0 && withdrawInterrupt(record);
        }
        if (threadInterruptAsked) {
            threadInterruptAsked = false;
            if (!withdrawn) {
                Thread.interrupted();
            }
        }
    }

    /**
     * Turns {@link Thread#interrupt()} of an owner thread that runs Python code into
     * {@link #interrupt()}: one daemon thread looks at the open interpreters every 50 ms
     * while there are any (a Java thread's interrupt status can only be polled).
     */
    private static final class InterruptWatch implements Runnable {
        private static final Set<Kiv> OPEN_BINDINGS = ConcurrentHashMap.newKeySet();
        private static Thread thread;

        static synchronized void watch(Kiv kiv) {
            OPEN_BINDINGS.add(kiv);
            if (thread == null) {
                thread = new Thread(new InterruptWatch(), "kiv-interrupt-watch");
                thread.setDaemon(true);
                thread.start();
            }
            InterruptWatch.class.notifyAll();
        }

        static void unwatch(Kiv kiv) {
            OPEN_BINDINGS.remove(kiv);
        }

        @Override
        public void run() {
            try {
                while (true) {
                    synchronized (InterruptWatch.class) {
                        while (OPEN_BINDINGS.isEmpty()) {
                            InterruptWatch.class.wait();
                        }
                    }
                    Thread.sleep(50);
                    for (Kiv k : OPEN_BINDINGS) {
                        // depth is the owner's; a stale read only delays the request.
                        if (k.depth > 0 && !k.threadInterruptAsked && k.owner.isInterrupted()) {
                            k.threadInterruptAsked = true;
                            k.interrupt();
                        }
                    }
                }
            } catch (InterruptedException e) {
                // The JVM is going down.
            }
        }
    }

    private KivException notOpen() {
        return new KivException(state == CLOSING ? "This interpreter is being closed" : "This interpreter is closed");
    }

    private void releaseUnreachable(long r) {
        OwnedReference ref;
        while ((ref = unreachable.poll()) != null) {
            if (owned.contains(ref)) {
                ref.releaseIn(r);
            }
        }
    }

    /**
     * Gives back a reference from any thread; nothing to do once this binding is closing
     * or closed, which gives back (or gave back) every reference itself.
     */
    final void release(OwnedReference ref) {
        if (Thread.currentThread() == owner) {
            if (state != OPEN || record == 0) {
                return;
            }
            depth++;
            try {
                ref.releaseIn(record);
            } finally {
                depth--;
            }
            return;
        }
        foreignCalls.incrementAndGet();
        try {
            long r = record;
            if (state == OPEN && r != 0) {
                ref.releaseIn(r);
            }
        } finally {
            foreignCalls.decrementAndGet();
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
        return callNative((k, r, n, a, kw) -> k.invoke(r, n, a, NativeSupport.argumentBits(a), kw), this, name, args,
                (Map<String, Object>) kwargs);
    }

    /**
     * {@inheritDoc} Also refused while another thread is inside a call on one of this
     * binding's Python objects or proxies. Once closed, every Python object and proxy of
     * this binding throws {@link KivException} when used, from any thread.
     */
    @Override
    public void close() {
        if (state == CLOSED) {
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
            state = CLOSING;
        }
        // Read after CLOSING is set: a call that counted itself in before sees it, or is seen here.
        int inside = foreignCalls.get();
        if (inside != 0) {
            state = OPEN;
            throw new KivException("Cannot close an interpreter while another thread is inside a call on it ("
                    + inside + " call(s) in progress)");
        }
        boolean done = false;
        try {
            depth++;
            try {
                if (ownsInterpreter) {
                    // Python threads first: if some do not end, nothing has changed yet.
                    awaitThreads(record, closeTimeoutMillis);
                }
                // Java objects that still hold Python references let go of them next.
                for (OwnedReference r : owned.toArray(new OwnedReference[0])) {
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
                if (done) {
                    record = 0;
                    state = CLOSED;
                } else {
                    state = OPEN;
                }
            }
            if (done) {
                InterruptWatch.unwatch(this);
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
            return kiv.callAny(op, target, a, b, c);
        }

        @Override
        public void release(Kiv kiv, OwnedReference reference) {
            kiv.release(reference);
        }

        @Override
        public boolean isOpen(Kiv kiv) {
            return kiv.state == OPEN;
        }

        @Override
        public long interpreterId(Kiv kiv) {
            return kiv.interpreterId;
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

    private native void awaitThreads(long record, long millis);

    private native void run(long record, String file);

    private native void eval(long record, String code);

    private native void exec(long record, String code);

    private native int compileString(long record, String code);

    native Object invoke(long record, String name, Object[] args, long[] argumentBits, Map<String, Object> kwargs);

    native Object getValue(long record, String expression, Class<?> as);

    native void set(long record, String name, Object value);

    private native void interruptNative(long record);

    private native boolean withdrawInterrupt(long record);
}
