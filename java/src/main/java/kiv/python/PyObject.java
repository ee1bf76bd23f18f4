package kiv.python;

import java.lang.ref.Cleaner;
import java.util.Iterator;
import java.util.Objects;

import kiv.Boxing;
import kiv.Kiv;
import kiv.KivException;
import kiv.internal.KivAccess;
import kiv.internal.NativeCall;

/**
 * A Python object held from Java. It belongs to the interpreter binding that produced
 * it and may be used from any thread while that binding is open: a thread other than
 * the binding's own runs Python through a thread state of its own in the same
 * interpreter, taking that interpreter's lock for each call. Once the binding is closed
 * every method throws {@link KivException} without touching Python. Other interpreters
 * refuse it (only bindings that share one interpreter share its objects).
 * <p>
 * It owns one reference to the Python object, given back by {@link #close()} (the
 * interpreter's own closing makes it unusable too). Python errors arrive as
 * {@link KivException}, also from {@link #equals}, {@link #hashCode} and
 * {@link #toString}; only {@code toString} of a released object, or of one whose
 * interpreter is closed, says so instead of throwing.
 * <p>
 * Values cross as in {@link kiv.Interpreter#getValue}: arguments (attribute values, keys,
 * items) are converted to Python, results to the Java type asked for, or to the type that
 * suits them best (a Python {@code int} becomes a {@code Long}, None becomes null).
 * <pre>{@code
 * py.exec("import collections");
 * try (PyObject counts = py.getValue("collections.Counter('banana')", PyObject.class)) {
 *     long a = counts.getItem("a", Long.class);          // 3
 *     counts.setItem("z", 1);
 *     for (Object key : (Iterable<Object>) counts::iterator) {
 *         System.out.println(key);                       // b, a, n, z
 *     }
 * }
 * }</pre>
 */
public class PyObject implements AutoCloseable {
    /** Queues the release of references whose holder became unreachable. */
    static final Cleaner CLEANER = Cleaner.create();
    static final KivAccess ACCESS = KivAccess.get();

    private final Kiv kiv;
    private final long address;
    /**
     * The number of the interpreter the Python object lives in; the native library reads
     * it before it lets an interpreter use the object.
     */
    private final long interpreterId;
    /** The reference this object depends on; owned unless this is a view. */
    private final PyPointer pointer;
    private final boolean owning;

    /**
     * Wraps the Python object at {@code address}. Called by the native library, which
     * adds the reference this object owns once the constructor has returned. The
     * reference is registered for release last, so that a constructor that fails leaves
     * nothing to give back.
     *
     * @param kiv the interpreter binding the object belongs to
     * @param address the Python object
     */
    protected PyObject(Kiv kiv, long address) {
        this.kiv = kiv;
        this.address = address;
        this.interpreterId = ACCESS.interpreterId(kiv);
        this.pointer = new PyPointer(kiv, address);
        this.owning = true;
        CLEANER.register(this, pointer);
        pointer.track();
    }

    /** A view that owns no reference: usable while {@code pointer} is not released. */
    PyObject(Kiv kiv, PyPointer pointer) {
        this.kiv = kiv;
        this.address = pointer.address();
        this.interpreterId = ACCESS.interpreterId(kiv);
        this.pointer = pointer;
        this.owning = false;
    }

    /**
     * The address of the Python object (for the native library), or 0 once the
     * reference was given back or the interpreter closed.
     *
     * @return the address, or 0
     */
    public long getPyObject() {
        return pointer.isReleased() ? 0L : address;
    }

    /**
     * The interpreter this object belongs to.
     *
     * @return the interpreter binding that made it
     */
    public Kiv getInterpreter() {
        return kiv;
    }

    /**
     * Python's {@code getattr}: the attribute converted to the Java type that suits it best.
     *
     * @param name the attribute's name
     * @return its value, converted (None is null)
     * @throws KivException when there is no such attribute (AttributeError)
     */
    public Object getAttr(String name) {
        return getAttr(name, Object.class);
    }

    /**
     * Python's {@code getattr}, converted to {@code type}.
     *
     * @param <T> the type asked for
     * @param name the attribute's name
     * @param type the class to convert to (a primitive class means its boxed class)
     * @return its value, converted (None is null)
     * @throws KivException when there is no such attribute, or its value does not fit
     */
    public <T> T getAttr(String name, Class<T> type) {
        Objects.requireNonNull(type, "type");
        Class<T> boxed = boxed(type);
        return boxed.cast(callNative((o, r, n, as, c) -> o.getAttr(r, o.live(), n, as), this, name, boxed, null));
    }

    /**
     * Python's {@code setattr}.
     *
     * @param name the attribute's name
     * @param value the value, converted to Python (null is None)
     */
    public void setAttr(String name, Object value) {
        callNative((o, r, n, v, c) -> {
            o.setAttr(r, o.live(), n, v);
            return null;
        }, this, name, value, null);
    }

    /**
     * Python's {@code delattr}.
     *
     * @param name the attribute's name
     * @throws KivException when there is no such attribute (AttributeError)
     */
    public void delAttr(String name) {
        callNative((o, r, n, b, c) -> {
            o.delAttr(r, o.live(), n);
            return null;
        }, this, name, null, null);
    }

    /**
     * This object converted to {@code type}.
     *
     * @param <T> the type asked for
     * @param type the class to convert to (a primitive class means its boxed class)
     * @return the converted value
     * @throws KivException when the object does not fit
     */
    public <T> T as(Class<T> type) {
        Objects.requireNonNull(type, "type");
        Class<T> boxed = boxed(type);
        return boxed.cast(callNative((o, r, as, b, c) -> o.as(r, o.live(), as), this, boxed, null, null));
    }

    /**
     * Python's {@code ==}, with {@code other} converted to Python (null is None). A Python
     * object of another interpreter is never equal.
     */
    @Override
    public boolean equals(Object other) {
        if (other instanceof PyObject && ((PyObject) other).interpreterId != interpreterId) {
            return false;
        }
        return callNative((o, r, x, b, c) -> o.equals(r, o.live(), x), this, other, null, null);
    }

    /** Python's {@code hash}, folded to 32 bits. Unhashable objects throw. */
    @Override
    public int hashCode() {
        return callNative((o, r, a, b, c) -> Long.hashCode(o.hashCode(r, o.live())), this, null, null, null);
    }

    /**
     * Python's {@code str}. For an object that was released, or whose interpreter is
     * closed, a text that says so (such as {@code <kiv.python.PyObject released>}) instead
     * of an exception; an error of the object's {@code __str__} still throws.
     */
    @Override
    public String toString() {
        String gone = goneText();
        if (gone != null) {
            return gone;
        }
        try {
            return callNative((o, r, a, b, c) -> o.toString(r, o.live()), this, null, null, null);
        } catch (KivException e) {
            // released or closed by another thread meanwhile
            gone = goneText();
            if (gone != null) {
                return gone;
            }
            throw e;
        }
    }

    /** What {@link #toString} says of an object that can no longer be used; null while it can. */
    private String goneText() {
        if (!ACCESS.isOpen(kiv)) {
            return "<" + getClass().getName() + " of a closed interpreter>";
        }
        if (pointer.isReleased()) {
            return "<" + getClass().getName() + " released>";
        }
        return null;
    }

    /**
     * Whether this is Python's None. Conversions hand None to Java as null, not as a
     * PyObject, so this is true only of an object made around None itself.
     *
     * @return true for None
     */
    public boolean isNone() {
        return callNative((o, r, a, b, c) -> o.isNone(r, o.live()), this, null, null, null);
    }

    /**
     * Python's {@code callable}.
     *
     * @return true for functions, methods, classes and objects with {@code __call__}
     */
    public boolean isCallable() {
        return callNative((o, r, a, b, c) -> o.isCallable(r, o.live()), this, null, null, null);
    }

    /**
     * Python's {@code hasattr}: false when the look-up raises AttributeError; another error
     * of the look-up (a failing property, say) throws.
     *
     * @param name the attribute's name
     * @return whether the attribute exists
     */
    public boolean hasAttr(String name) {
        return callNative((o, r, n, b, c) -> o.hasAttr(r, o.live(), n), this, name, null, null);
    }

    /**
     * Python's {@code len}.
     *
     * @return the number of items
     * @throws KivException when the object has no length (TypeError)
     */
    public long len() {
        return callNative((o, r, a, b, c) -> o.len(r, o.live()), this, null, null, null);
    }

    /**
     * Python's {@code self[key]}, with {@code key} converted to Python, the item converted
     * to the Java type that suits it best. A missing key or index throws (KeyError,
     * IndexError).
     *
     * @param key the key or index
     * @return the item, converted (None is null)
     */
    public Object getItem(Object key) {
        return getItem(key, Object.class);
    }

    /**
     * Python's {@code self[key]}, converted to {@code type}.
     *
     * @param <T> the type asked for
     * @param key the key or index, converted to Python
     * @param type the class to convert to (a primitive class means its boxed class)
     * @return the item, converted (None is null)
     * @throws KivException when there is no such item, or it does not fit
     */
    public <T> T getItem(Object key, Class<T> type) {
        Objects.requireNonNull(type, "type");
        Class<T> boxed = boxed(type);
        return boxed.cast(callNative((o, r, k, as, c) -> o.getItem(r, o.live(), k, as), this, key, boxed, null));
    }

    /**
     * Python's {@code self[key] = value}.
     *
     * @param key the key or index, converted to Python
     * @param value the value, converted to Python (null is None)
     */
    public void setItem(Object key, Object value) {
        callNative((o, r, k, v, c) -> {
            o.setItem(r, o.live(), k, v);
            return null;
        }, this, key, value, null);
    }

    /**
     * Python's {@code del self[key]}.
     *
     * @param key the key or index, converted to Python
     * @throws KivException when there is no such item (KeyError, IndexError)
     */
    public void delItem(Object key) {
        callNative((o, r, k, b, c) -> {
            o.delItem(r, o.live(), k);
            return null;
        }, this, key, null, null);
    }

    /**
     * Python's {@code iter}: an iterator over what a Python {@code for} loop would give,
     * each item converted to the Java type that suits it best. The object must be
     * iterable (else TypeError). The iterator may be used from any thread (one at a
     * time, as any Java iterator) while the interpreter is open; it holds the Python
     * iterator until it is exhausted, raised, or became unreachable; after an exception
     * it has no more items. {@code remove} is not supported. For a {@code for} statement:
     * {@code for (Object x : (Iterable<Object>) obj::iterator)}.
     *
     * @return a new iterator
     * @throws KivException when the object is not iterable (TypeError)
     */
    public Iterator<Object> iterator() {
        return iterator(Object.class);
    }

    /**
     * Like {@link #iterator()}, with each item converted to {@code type}.
     *
     * @param <T> the type asked for
     * @param type the class to convert each item to (a primitive class means its boxed class)
     * @return a new iterator
     */
    public <T> Iterator<T> iterator(Class<T> type) {
        Objects.requireNonNull(type, "type");
        PyObject it = callNative((o, r, a, b, c) -> o.iter(r, o.live()), this, null, null, null);
        return new PyIterator<>(it, boxed(type));
    }

    /**
     * The next item of this Python iterator converted to {@code type}, or {@code end} once
     * it is exhausted.
     */
    final Object next(Class<?> type, Object end) {
        return callNative((o, r, as, e, c) -> o.next(r, o.live(), as, e), this, type, end, null);
    }

    /**
     * Gives back the reference this object owns, from any thread. Idempotent; afterwards
     * the object can no longer be used. Does nothing for a view, or once the interpreter
     * is closed.
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

    /** Runs {@code op} as a native call on this object's interpreter (see {@link KivAccess#call}). */
    final <T extends PyObject, A, B, C, R> R callNative(NativeCall<T, A, B, C, R> op, T self, A a, B b, C c) {
        return ACCESS.call(kiv, op, self, a, b, c);
    }

    /**
     * The object's address, inside a native call (whose entry checked that the
     * interpreter is open); throws if the reference was given back.
     */
    final long live() {
        if (pointer.isReleased()) {
            throw new KivException("This Python object has been released");
        }
        return address;
    }

    private native Object getAttr(long record, long obj, String name, Class<?> as);

    private native void setAttr(long record, long obj, String name, Object value);

    private native void delAttr(long record, long obj, String name);

    private native boolean equals(long record, long obj, Object other);

    private native String toString(long record, long obj);

    private native long hashCode(long record, long obj);

    private native Object as(long record, long obj, Class<?> as);

    private native boolean isNone(long record, long obj);

    private native boolean isCallable(long record, long obj);

    private native boolean hasAttr(long record, long obj, String name);

    private native long len(long record, long obj);

    private native Object getItem(long record, long obj, Object key, Class<?> as);

    private native void setItem(long record, long obj, Object key, Object value);

    private native void delItem(long record, long obj, Object key);

    private native PyObject iter(long record, long obj);

    private native Object next(long record, long obj, Class<?> as, Object end);
}
