package kiv;

/**
 * How a {@link SubInterpreter} is made. By default it is isolated: its own interpreter
 * lock (so it runs in parallel with other interpreters), its own object allocator, no
 * fork, exec or daemon threads, and only extension modules that support
 * sub-interpreters. Integer values of -1 keep the base value.
 */
public final class SubInterpreterOptions {
    boolean publishMainModules;
    boolean isolatedBase = true;
    int useMainObmalloc = -1;
    int allowFork = -1;
    int allowExec = -1;
    int allowThreads = -1;
    int allowDaemonThreads = -1;
    int checkMultiInterpExtensions = -1;
    int ownGil = -1;

    /** Isolated defaults: own interpreter lock and allocator. */
    public static SubInterpreterOptions isolated() {
        return new SubInterpreterOptions();
    }

    /**
     * Legacy defaults: shares the main interpreter's lock and allocator, allows fork,
     * exec and daemon threads, and loads single-phase extension modules.
     */
    public static SubInterpreterOptions legacy() {
        return new SubInterpreterOptions().setIsolatedBase(false);
    }

    /**
     * Publish the main interpreter's {@code sys.modules} and its lock as
     * {@code _kiv.mainInterpreterModules} and {@code _kiv.mainInterpreterModulesLock}.
     * Only sound for a sub-interpreter that shares the main interpreter's lock and
     * allocator (the legacy base); otherwise making the interpreter fails.
     */
    public SubInterpreterOptions setPublishMainModules(boolean publish) {
        this.publishMainModules = publish;
        return this;
    }

    /** true: start from the isolated values; false: from the legacy ones. */
    public SubInterpreterOptions setIsolatedBase(boolean isolatedBase) {
        this.isolatedBase = isolatedBase;
        return this;
    }

    public SubInterpreterOptions setUseMainObmalloc(int value) {
        this.useMainObmalloc = value;
        return this;
    }

    public SubInterpreterOptions setAllowFork(int value) {
        this.allowFork = value;
        return this;
    }

    public SubInterpreterOptions setAllowExec(int value) {
        this.allowExec = value;
        return this;
    }

    public SubInterpreterOptions setAllowThreads(int value) {
        this.allowThreads = value;
        return this;
    }

    public SubInterpreterOptions setAllowDaemonThreads(int value) {
        this.allowDaemonThreads = value;
        return this;
    }

    public SubInterpreterOptions setCheckMultiInterpExtensions(int value) {
        this.checkMultiInterpExtensions = value;
        return this;
    }

    /** 1: own interpreter lock; 0: share the main interpreter's lock; -1: the base value. */
    public SubInterpreterOptions setOwnGil(int value) {
        this.ownGil = value;
        return this;
    }
}
