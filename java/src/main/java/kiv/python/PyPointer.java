package kiv.python;

import kiv.Kiv;
import kiv.KivAccess;

/**
 * The one reference the Java side owns on a Python object. It is given back at most
 * once, on the interpreter's own thread while the interpreter is open. Once the
 * interpreter is closed there is nothing left to give back to.
 */
final class PyPointer {
    private final Kiv kiv;
    private final long address;
    private boolean released;

    PyPointer(Kiv kiv, long address) {
        this.kiv = kiv;
        this.address = address;
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
        long record = KivAccess.enter(kiv);
        try {
            // Marked first: whatever decref does, it must never run twice for one reference.
            released = true;
            decref(record, address);
        } finally {
            KivAccess.leave(kiv);
        }
    }

    private native void decref(long record, long obj);
}
