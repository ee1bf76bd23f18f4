package kiv;

import java.util.Arrays;

/**
 * Start-up configuration of the embedded Python runtime. It applies once per process,
 * before the first interpreter is made: pass it to {@link MainInterpreter#setConfig}.
 * Every setting is unset until a setter is called, and an unset setting (or a null
 * string) leaves CPython's own default in place.
 *
 * <pre>
 * MainInterpreter.setConfig(new PyConfig().setSiteImport(false).setOptimizationLevel(1));
 * </pre>
 */
public final class PyConfig {
    /** The value of an unset integer or boolean setting, as the native start-up takes it. */
    static final int UNSET = -1;

    boolean isolated = true;
    String[] argv;
    int hashSeed = UNSET;
    int useHashSeed = UNSET;
    String home;
    int optimizationLevel = UNSET;
    int parseArgv = UNSET;
    String programName;
    int siteImport = UNSET;
    int useEnvironment = UNSET;
    int userSiteDirectory = UNSET;
    int verbose = UNSET;
    int writeBytecode = UNSET;

    /** A configuration with every setting unset but {@link #setIsolated isolated}. */
    public PyConfig() {
    }

    private static int flag(boolean value) {
        return value ? 1 : 0;
    }

    private static int atLeastZero(String name, int value) {
        if (value < 0) {
            throw new IllegalArgumentException(name + " cannot be negative: " + value);
        }
        return value;
    }

    /**
     * Whether to start from CPython's isolated configuration (the default, true), which
     * ignores PYTHON* environment variables, installs no signal handlers and leaves the
     * user site directory out; false starts from CPython's regular configuration, as the
     * python command does.
     *
     * @param isolated the base configuration to start from
     * @return this
     */
    public PyConfig setIsolated(boolean isolated) {
        this.isolated = isolated;
        return this;
    }

    /**
     * {@code sys.argv}.
     *
     * @param argv the arguments, the program name first; null leaves CPython's default
     * @return this
     */
    public PyConfig setArgv(String... argv) {
        this.argv = argv == null ? null : argv.clone();
        return this;
    }

    /**
     * The seed of string hashing (as {@code PYTHONHASHSEED}); also turns
     * {@link #setUseHashSeed use of the seed} on.
     *
     * @param hashSeed the seed, 0 or more; 0 gives a fixed hash order
     * @return this
     */
    public PyConfig setHashSeed(int hashSeed) {
        this.hashSeed = atLeastZero("hashSeed", hashSeed);
        this.useHashSeed = 1;
        return this;
    }

    /**
     * Whether {@link #setHashSeed the seed} is used (true) or a random one (false).
     *
     * @param useHashSeed whether the set seed is used
     * @return this
     */
    public PyConfig setUseHashSeed(boolean useHashSeed) {
        this.useHashSeed = flag(useHashSeed);
        return this;
    }

    /**
     * The Python installation's prefix (PYTHONHOME).
     *
     * @param home the prefix, or null for CPython's own search
     * @return this
     */
    public PyConfig setHome(String home) {
        this.home = home;
        return this;
    }

    /**
     * The optimisation level, as the {@code -O} option sets it.
     *
     * @param optimizationLevel 0 (none), 1 ({@code -O}) or 2 ({@code -OO})
     * @return this
     */
    public PyConfig setOptimizationLevel(int optimizationLevel) {
        if (optimizationLevel < 0 || optimizationLevel > 2) {
            throw new IllegalArgumentException("optimizationLevel is 0, 1 or 2, not " + optimizationLevel);
        }
        this.optimizationLevel = optimizationLevel;
        return this;
    }

    /**
     * Whether CPython parses {@link #setArgv sys.argv} for its own options, as the python
     * command does.
     *
     * @param parseArgv whether to parse the arguments
     * @return this
     */
    public PyConfig setParseArgv(boolean parseArgv) {
        this.parseArgv = flag(parseArgv);
        return this;
    }

    /**
     * The program name CPython uses to locate its installation. Naming the python
     * executable of a virtual environment makes that environment's packages visible.
     *
     * @param programName the path of a python3.12 executable, or null
     * @return this
     */
    public PyConfig setProgramName(String programName) {
        this.programName = programName;
        return this;
    }

    /**
     * Whether the {@code site} module is imported at start-up (false is the {@code -S}
     * option).
     *
     * @param siteImport whether to import site
     * @return this
     */
    public PyConfig setSiteImport(boolean siteImport) {
        this.siteImport = flag(siteImport);
        return this;
    }

    /**
     * Whether PYTHON* environment variables are read (false is the {@code -E} option).
     *
     * @param useEnvironment whether to read them
     * @return this
     */
    public PyConfig setUseEnvironment(boolean useEnvironment) {
        this.useEnvironment = flag(useEnvironment);
        return this;
    }

    /**
     * Whether the user site directory goes on {@code sys.path} (false is the {@code -s}
     * option).
     *
     * @param userSiteDirectory whether to add it
     * @return this
     */
    public PyConfig setUserSiteDirectory(boolean userSiteDirectory) {
        this.userSiteDirectory = flag(userSiteDirectory);
        return this;
    }

    /**
     * The verbosity of imports, as repeated {@code -v} options set it.
     *
     * @param verbose 0 (quiet) or more
     * @return this
     */
    public PyConfig setVerbose(int verbose) {
        this.verbose = atLeastZero("verbose", verbose);
        return this;
    }

    /**
     * Whether imports write {@code .pyc} files (false is the {@code -B} option).
     *
     * @param writeBytecode whether to write them
     * @return this
     */
    public PyConfig setWriteBytecode(boolean writeBytecode) {
        this.writeBytecode = flag(writeBytecode);
        return this;
    }

    PyConfig copy() {
        PyConfig c = new PyConfig();
        c.isolated = isolated;
        c.argv = argv == null ? null : argv.clone();
        c.hashSeed = hashSeed;
        c.useHashSeed = useHashSeed;
        c.home = home;
        c.optimizationLevel = optimizationLevel;
        c.parseArgv = parseArgv;
        c.programName = programName;
        c.siteImport = siteImport;
        c.useEnvironment = useEnvironment;
        c.userSiteDirectory = userSiteDirectory;
        c.verbose = verbose;
        c.writeBytecode = writeBytecode;
        return c;
    }

    private static String show(int value) {
        return value == UNSET ? "unset" : Integer.toString(value);
    }

    private static String showFlag(int value) {
        return value == UNSET ? "unset" : Boolean.toString(value != 0);
    }

    /** @return the settings, "unset" for those not set */
    @Override
    public String toString() {
        return "PyConfig[isolated=" + isolated + ", argv=" + Arrays.toString(argv) + ", hashSeed=" + show(hashSeed)
                + ", useHashSeed=" + showFlag(useHashSeed) + ", home=" + home + ", optimizationLevel="
                + show(optimizationLevel) + ", parseArgv=" + showFlag(parseArgv) + ", programName=" + programName
                + ", siteImport=" + showFlag(siteImport) + ", useEnvironment=" + showFlag(useEnvironment)
                + ", userSiteDirectory=" + showFlag(userSiteDirectory) + ", verbose=" + show(verbose)
                + ", writeBytecode=" + showFlag(writeBytecode) + "]";
    }
}
