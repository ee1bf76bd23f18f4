package kiv.python;

import java.util.Iterator;
import java.util.NoSuchElementException;

/**
 * A Java iterator over a Python iterator: {@link #hasNext} fetches the next item ahead,
 * since Python only tells the end by not giving one. The Python iterator is given back as
 * soon as it is exhausted (or raised), else when this becomes unreachable.
 */
final class PyIterator<T> implements Iterator<T> {
    /** What the native next returns at the end (an item None arrives as null). */
    private static final Object END = new Object();

    private final PyObject iterator;
    private final Class<T> type;
    private Object pending;
    private boolean fetched;
    private boolean done;

    PyIterator(PyObject iterator, Class<T> type) {
        this.iterator = iterator;
        this.type = type;
    }

    @Override
    public boolean hasNext() {
        if (done) {
            return false;
        }
        if (!fetched) {
            Object item;
            try {
                item = iterator.next(type, END);
            } catch (RuntimeException e) {
                // A Python iterator that raised is finished, like a Python for loop.
                finish();
                throw e;
            }
            if (item == END) {
                finish();
                return false;
            }
            pending = item;
            fetched = true;
        }
        return true;
    }

    @Override
    public T next() {
        if (!hasNext()) {
            throw new NoSuchElementException();
        }
        fetched = false;
        Object item = pending;
        pending = null;
        return type.cast(item);
    }

    private void finish() {
        done = true;
        iterator.close();
    }
}
