package kiv;

import java.util.Arrays;

/**
 * Start-up configuration of the embedded Python runtime. It applies once per process,
 * before the first interpreter is made: pass it to {@link MainInterpreter#setConfig}.
 * Integer values of -1 and null strings leave CPython's own default in place; any
 * other integer, 0 included, is applied as given.
 */
public final class PyConfig {
    boolean isolated = true;
    String[] argv;
    int hashSeed = -1;
    int useHashSeed = -1;
    String home;
    int optimizationLevel = -1;
    int parseArgv = -1;
    String programName;
    int siteImport = -1;
    int useEnvironment = -1;
    int userSiteDirectory = -1;
    int verbose = -1;
    int writeBytecode = -1;

    /**
     * true (the default): start from CPython's isolated configuration, which ignores
     * PYTHON* environment variables, installs no signal handlers and leaves the user
     * site directory out. false: CPython's regular configuration, as the python command uses.
     */
    public PyConfig setIsolated(boolean isolated) {
        this.isolated = isolated;
        return this;
    }

    /** sys.argv. */
    public PyConfig setArgv(String... argv) {
        this.argv = argv == null ? null : argv.clone();
        return this;
    }

    public PyConfig setHashSeed(int hashSeed) {
        this.hashSeed = hashSeed;
        return this;
    }

    public PyConfig setUseHashSeed(int useHashSeed) {
        this.useHashSeed = useHashSeed;
        return this;
    }

    /** The Python installation's prefix (PYTHONHOME). */
    public PyConfig setHome(String home) {
        this.home = home;
        return this;
    }

    public PyConfig setOptimizationLevel(int optimizationLevel) {
        this.optimizationLevel = optimizationLevel;
        return this;
    }

    public PyConfig setParseArgv(int parseArgv) {
        this.parseArgv = parseArgv;
        return this;
    }

    /**
     * The program name CPython uses to locate its installation. Naming the python
     * executable of a virtual environment makes that environment's packages visible.
     */
    public PyConfig setProgramName(String programName) {
        this.programName = programName;
        return this;
    }

    public PyConfig setSiteImport(int siteImport) {
        this.siteImport = siteImport;
        return this;
    }

    public PyConfig setUseEnvironment(int useEnvironment) {
        this.useEnvironment = useEnvironment;
        return this;
    }

    public PyConfig setUserSiteDirectory(int userSiteDirectory) {
        this.userSiteDirectory = userSiteDirectory;
        return this;
    }

    public PyConfig setVerbose(int verbose) {
        this.verbose = verbose;
        return this;
    }

    public PyConfig setWriteBytecode(int writeBytecode) {
        this.writeBytecode = writeBytecode;
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

    @Override
    public String toString() {
        return "PyConfig[isolated=" + isolated + ", argv=" + Arrays.toString(argv) + ", hashSeed=" + hashSeed
                + ", useHashSeed=" + useHashSeed + ", home=" + home + ", optimizationLevel=" + optimizationLevel
                + ", parseArgv=" + parseArgv + ", programName=" + programName + ", siteImport=" + siteImport
                + ", useEnvironment=" + useEnvironment + ", userSiteDirectory=" + userSiteDirectory
                + ", verbose=" + verbose + ", writeBytecode=" + writeBytecode + "]";
    }
}
