package kiv.python;

import java.lang.ref.Cleaner;
import java.util.Objects;

import kiv.Boxing;
import kiv.Kiv;
import kiv.KivAccess;
import kiv.KivException;

/**
 * A Python object held from Java. It belongs to the interpreter that produced it and,
 * like that interpreter, may only be used on its thread while it is open; otherwise
 * every method throws {@link KivException} without touching Python.
 * <p>
 * It owns one reference to the Python object, given back by {@link #close()} (the
 * interpreter's own closing makes it unusable too). Python errors arrive as
 * {@link KivException}, also from {@link #equals}, {@link #hashCode} and
 * {@link #toString}.
 */
public class PyObject implements AutoCloseable {
    /** Queues the release of references whose holder became unreachable. */
    static final Cleaner CLEANER = Cleaner.create();

    private final Kiv kiv;
    private final long address;
    /** The reference this object depends on; owned unless this is a view. */
    private final PyPointer pointer;
    private final boolean owning;

    /**
     * Wraps the Python object at {@code address}. Called by the native library, which
     * adds the reference this object owns once the constructor has returned; so it only
     * stores its arguments.
     */
    protected PyObject(Kiv kiv, long address) {
        this.kiv = kiv;
        this.address = address;
        this.pointer = new PyPointer(kiv, address);
        this.owning = true;
        CLEANER.register(this, pointer);
    }

    /** A view that owns no reference: usable while {@code pointer} is not released. */
    PyObject(Kiv kiv, PyPointer pointer) {
        this.kiv = kiv;
        this.address = pointer.address();
        this.pointer = pointer;
        this.owning = false;
    }

    /**
     * The address of the Python object (for the native library), or 0 once the
     * reference was given back or the interpreter closed.
     */
    public long getPyObject() {
        return pointer.isReleased() ? 0L : address;
    }

    /** The interpreter this object belongs to. */
    public Kiv getInterpreter() {
        return kiv;
    }

    /** The attribute converted to the Java type that suits it best. */
    public Object getAttr(String name) {
        return getAttr(name, Object.class);
    }

    /** The attribute converted to {@code type}. */
    public <T> T getAttr(String name, Class<T> type) {
        Objects.requireNonNull(type, "type");
        long record = enter();
        try {
            Class<T> boxed = boxed(type);
            return boxed.cast(getAttr(record, address, name, boxed));
        } finally {
            leave();
        }
    }

    public void setAttr(String name, Object value) {
        long record = enter();
        try {
            setAttr(record, address, name, value);
        } finally {
            leave();
        }
    }

    public void delAttr(String name) {
        long record = enter();
        try {
            delAttr(record, address, name);
        } finally {
            leave();
        }
    }

    /** This object converted to {@code type}. */
    public <T> T as(Class<T> type) {
        Objects.requireNonNull(type, "type");
        long record = enter();
        try {
            Class<T> boxed = boxed(type);
            return boxed.cast(as(record, address, boxed));
        } finally {
            leave();
        }
    }

    /** Python's {@code ==}, with {@code other} converted to Python (null is None). */
    @Override
    public boolean equals(Object other) {
        long record = enter();
        try {
            return equals(record, address, other);
        } finally {
            leave();
        }
    }

    /** Python's {@code hash}, folded to 32 bits. Unhashable objects throw. */
    @Override
    public int hashCode() {
        long record = enter();
        try {
            return Long.hashCode(hashCode(record, address));
        } finally {
            leave();
        }
    }

    /** Python's {@code str}. */
    @Override
    public String toString() {
        long record = enter();
        try {
            return toString(record, address);
        } finally {
            leave();
        }
    }

    /**
     * Gives back the reference this object owns. Idempotent; afterwards the object can no
     * longer be used. Does nothing for a view.
     */
    @Override
    public void close() {
        if (owning) {
            pointer.release();
        }
    }

    /** The wrapper class for a primitive class (a boxed value is what comes back), else the class. */
    static <T> Class<T> boxed(Class<T> type) {
        return Boxing.boxed(type);
    }

    /** Checks thread, interpreter and reference, and starts a native call. */
    final long enter() {
        long record = KivAccess.enter(kiv);
        if (pointer.isReleased()) {
            KivAccess.leave(kiv);
            throw new KivException("This Python object has been released");
        }
        return record;
    }

    final void leave() {
        KivAccess.leave(kiv);
    }

    private native Object getAttr(long record, long obj, String name, Class<?> as);

    private native void setAttr(long record, long obj, String name, Object value);

    private native void delAttr(long record, long obj, String name);

    private native boolean equals(long record, long obj, Object other);

    private native String toString(long record, long obj);

    private native long hashCode(long record, long obj);

    private native Object as(long record, long obj, Class<?> as);
}
