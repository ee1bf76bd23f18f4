package kiv.python;

import static kiv.python.PyObject.ACCESS;

import kiv.Kiv;
import kiv.internal.OwnedReference;

/**
 * The one reference the Java side owns on a Python object. It is given back at most
 * once, on the interpreter's own thread: by {@link PyObject#close()}, when the
 * interpreter closes, or, for a holder that became unreachable without being closed,
 * at the interpreter's next call after the garbage collector noticed.
 */
final class PyPointer implements Runnable, OwnedReference {
    private final Kiv kiv;
    private final long address;
    private volatile boolean released;

    PyPointer(Kiv kiv, long address) {
        this.kiv = kiv;
        this.address = address;
        ACCESS.track(kiv, this);
    }

    long address() {
        return address;
    }

    /** True once the reference was given back, or the interpreter was closed. */
    boolean isReleased() {
        return released || kiv.isClosed();
    }

    /**
     * Gives the reference back. Idempotent; a no-op once the interpreter is closed.
     *
     * @throws kiv.KivException on a thread other than the interpreter's
     */
    void release() {
        if (released) {
            return;
        }
        if (kiv.isClosed()) {
            released = true;
            return;
        }
        ACCESS.call(kiv, (p, r, a, b, c) -> {
            p.releaseNow(r);
            return null;
        }, this, null, null, null);
    }

    /** Gives the reference back inside a call the owner thread already entered. */
    @Override
    public void releaseIn(long record) {
        releaseNow(record);
    }

    void releaseNow(long record) {
        if (released) {
            return;
        }
        // Marked first: whatever decref does, it must never run twice for one reference.
        released = true;
        ACCESS.untrack(kiv, this);
        decref(record, address);
    }

    /** The cleaner's action: only queues the release for the owner thread. */
    @Override
    public void run() {
        if (!released) {
            ACCESS.queueRelease(kiv, this);
        }
    }

    private native void decref(long record, long obj);
}
