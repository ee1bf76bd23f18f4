package kiv.internal;

/**
 * Internal: a reference to a Python object that Java code owns and that its interpreter
 * gives back.
 */
public interface OwnedReference {
    /**
     * Gives the reference back (at most once), inside a native call already entered on any thread.
     *
     * @param record the interpreter binding's native record, valid for the call
     */
    void releaseIn(long record);
}
