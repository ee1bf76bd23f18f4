package kiv;

/**
 * How a {@link SubInterpreter} is made. It starts from a base, isolated by default: its
 * own interpreter lock (so it runs in parallel with other interpreters), its own object
 * allocator, no fork, exec or daemon threads, and only extension modules that support
 * sub-interpreters; {@link #legacy()} starts from the main interpreter's ways instead.
 * Each setting is unset until its setter is called, and an unset setting keeps the
 * base's value.
 *
 * <pre>
 * new SubInterpreter(SubInterpreterOptions.isolated().setAllowThreads(false));
 * </pre>
 */
public final class SubInterpreterOptions {
    /** The value of an unset setting, as the native side takes it. */
    static final int UNSET = -1;

    boolean publishMainModules;
    boolean isolatedBase = true;
    int useMainObmalloc = UNSET;
    int allowFork = UNSET;
    int allowExec = UNSET;
    int allowThreads = UNSET;
    int allowDaemonThreads = UNSET;
    int checkMultiInterpExtensions = UNSET;
    int ownGil = UNSET;
    /** How long close() waits for the interpreter's Python threads. */
    java.time.Duration closeTimeout = DEFAULT_CLOSE_TIMEOUT;

    /** The wait of {@link #setCloseTimeout} when none is set. */
    public static final java.time.Duration DEFAULT_CLOSE_TIMEOUT = java.time.Duration.ofSeconds(10);

    /** Options on the isolated base, with nothing else set; the same as {@link #isolated()}. */
    public SubInterpreterOptions() {
    }

    /**
     * Isolated defaults: own interpreter lock and allocator.
     *
     * @return new options on the isolated base
     */
    public static SubInterpreterOptions isolated() {
        return new SubInterpreterOptions();
    }

    /**
     * Legacy defaults: shares the main interpreter's lock and allocator, allows fork,
     * exec and daemon threads, and loads single-phase extension modules.
     *
     * @return new options on the legacy base
     */
    public static SubInterpreterOptions legacy() {
        return new SubInterpreterOptions().setIsolatedBase(false);
    }

    private static int flag(boolean value) {
        return value ? 1 : 0;
    }

    /**
     * Publish the main interpreter's {@code sys.modules} and its lock as
     * {@code _kiv.mainInterpreterModules} and {@code _kiv.mainInterpreterModulesLock}.
     * Only sound for a sub-interpreter that shares the main interpreter's lock and
     * allocator (the legacy base); otherwise making the interpreter fails.
     *
     * @param publish whether to publish them
     * @return this
     */
    public SubInterpreterOptions setPublishMainModules(boolean publish) {
        this.publishMainModules = publish;
        return this;
    }

    /**
     * The base the unset settings come from.
     *
     * @param isolatedBase true: the isolated values; false: the legacy ones
     * @return this
     */
    public SubInterpreterOptions setIsolatedBase(boolean isolatedBase) {
        this.isolatedBase = isolatedBase;
        return this;
    }

    /**
     * Whether the interpreter uses the main interpreter's object allocator (needed to
     * share its lock).
     *
     * @param value true to share the allocator
     * @return this
     */
    public SubInterpreterOptions setUseMainObmalloc(boolean value) {
        this.useMainObmalloc = flag(value);
        return this;
    }

    /**
     * Whether {@code os.fork()} is allowed.
     *
     * @param value true to allow it
     * @return this
     */
    public SubInterpreterOptions setAllowFork(boolean value) {
        this.allowFork = flag(value);
        return this;
    }

    /**
     * Whether {@code os.execv()} and its kind are allowed.
     *
     * @param value true to allow them
     * @return this
     */
    public SubInterpreterOptions setAllowExec(boolean value) {
        this.allowExec = flag(value);
        return this;
    }

    /**
     * Whether Python threads ({@code threading}) may be started.
     *
     * @param value true to allow them
     * @return this
     */
    public SubInterpreterOptions setAllowThreads(boolean value) {
        this.allowThreads = flag(value);
        return this;
    }

    /**
     * Whether daemon threads may be started.
     *
     * @param value true to allow them
     * @return this
     */
    public SubInterpreterOptions setAllowDaemonThreads(boolean value) {
        this.allowDaemonThreads = flag(value);
        return this;
    }

    /**
     * Whether extension modules that do not declare support for sub-interpreters are
     * refused (true) or loaded anyway (false).
     *
     * @param value true to refuse them
     * @return this
     */
    public SubInterpreterOptions setCheckMultiInterpExtensions(boolean value) {
        this.checkMultiInterpExtensions = flag(value);
        return this;
    }

    /**
     * Whether the interpreter has an interpreter lock of its own (true) or shares the
     * main interpreter's (false).
     *
     * @param value true for a lock of its own
     * @return this
     */
    public SubInterpreterOptions setOwnGil(boolean value) {
        this.ownGil = flag(value);
        return this;
    }

    /**
     * How long {@link SubInterpreter#close()} waits for the interpreter's non-daemon
     * Python threads to end (after telling executors to stop, as interpreter shutdown
     * does), {@link #DEFAULT_CLOSE_TIMEOUT} unless set. When some still run then,
     * close() throws {@link KivException} naming them and leaves the interpreter open and
     * usable, so that it can be closed again later.
     *
     * @param timeout the longest wait, zero or more
     * @return this
     */
    public SubInterpreterOptions setCloseTimeout(java.time.Duration timeout) {
        if (timeout == null || timeout.isNegative()) {
            throw new IllegalArgumentException("closeTimeout must be zero or more: " + timeout);
        }
        this.closeTimeout = timeout;
        return this;
    }
}
