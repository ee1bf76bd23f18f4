package kiv.internal;

/**
 * Internal: a reference to a Python object that Java code owns and that an interpreter
 * gives back on its own thread.
 */
public interface OwnedReference {
    /** Gives the reference back, inside a native call already entered on the owner thread. */
    void releaseIn(long record);
}
