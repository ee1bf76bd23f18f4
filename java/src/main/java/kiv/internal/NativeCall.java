package kiv.internal;

/**
 * Internal: one native call on an interpreter binding, run by {@link KivAccess#call}
 * between the checks on entry and the bookkeeping on exit. {@code record} is the
 * binding's native record, valid for the call. The object whose native method is called
 * comes in as {@code target} and the call's arguments as {@code a}, {@code b} and
 * {@code c} (null when unused), so that the lambda captures nothing and costs no
 * allocation per call.
 */
@FunctionalInterface
public interface NativeCall<T, A, B, C, R> {
    /**
     * Makes the call.
     *
     * @param target the object whose native method is called
     * @param record the binding's native record
     * @param a the first argument, or null
     * @param b the second argument, or null
     * @param c the third argument, or null
     * @return the native method's result (null for void)
     */
    R call(T target, long record, A a, B b, C c);
}
