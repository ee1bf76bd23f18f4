package kiv.internal;

/**
 * Internal: a reference to a Python object that Java code owns and that its interpreter
 * gives back.
 */
public interface OwnedReference {
    /** Gives the reference back (at most once), inside a native call already entered on any thread. */
    void releaseIn(long record);
}
