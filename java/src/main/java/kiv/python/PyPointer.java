package kiv.python;

import static kiv.python.PyObject.ACCESS;

import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;

import kiv.Kiv;
import kiv.internal.OwnedReference;

/**
 * The one reference the Java side owns on a Python object. It is given back at most
 * once: by {@link PyObject#close()} (from any thread), when the interpreter closes, or,
 * for a holder that became unreachable without being closed, at the interpreter's next
 * native call after the garbage collector noticed.
 * <p>
 * A pointer starts unarmed: it gives nothing back until {@link #track()} has registered
 * it with its interpreter, which its holder does last, once it exists. A holder whose
 * construction failed therefore never gives back a reference the native library did not
 * add.
 */
final class PyPointer implements Runnable, OwnedReference {
    private static final VarHandle RELEASED;

    static {
        try {
            RELEASED = MethodHandles.lookup().findVarHandle(PyPointer.class, "released", boolean.class);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private final Kiv kiv;
    private final long address;
    private volatile boolean released;

    PyPointer(Kiv kiv, long address) {
        this.kiv = kiv;
        this.address = address;
    }

    /** Arms the pointer: the interpreter gives the reference back when it closes. */
    void track() {
        ACCESS.track(kiv, this);
    }

    long address() {
        return address;
    }

    /** True once the reference was given back, or the interpreter was closed. */
    boolean isReleased() {
        return released || kiv.isClosed();
    }

    /** Gives the reference back, from any thread. Idempotent; a no-op once the interpreter is closing or closed. */
    void release() {
        if (!released) {
            ACCESS.release(kiv, this);
        }
    }

    /** Gives the reference back inside a native call already entered. */
    @Override
    public void releaseIn(long record) {
        // Whichever thread gets here first gives it back; decref must never run twice for one reference.
        if (!RELEASED.compareAndSet(this, false, true)) {
            return;
        }
        ACCESS.untrack(kiv, this);
        decref(record, address);
    }

    /** The cleaner's action: only queues the release for the interpreter's next call. */
    @Override
    public void run() {
        if (!released) {
            ACCESS.queueRelease(kiv, this);
        }
    }

    private native void decref(long record, long obj);
}
