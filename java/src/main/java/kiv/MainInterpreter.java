package kiv;

import java.util.Objects;

/**
 * The process-wide Python runtime. It starts once, the first time an interpreter is
 * made (or {@link #start()} is called), with the configuration given to
 * {@link #setConfig}; it is never restarted.
 */
public final class MainInterpreter {
    private static PyConfig config;
    private static boolean started;
    /** The configuration set was tried and refused: it may be replaced. */
    private static boolean configRefused;

    private MainInterpreter() {
    }

    /**
     * Sets the start-up configuration. Allowed once, before Python starts; any later
     * call throws {@link IllegalStateException}. (When the configuration set was refused
     * before CPython's own initialisation ran, for example for a null argument, a new
     * one may be set and the start tried again. Once CPython's initialisation itself
     * failed, as for a home without the standard library, every later start throws
     * {@link IllegalStateException} saying so: CPython cannot start twice in a process.)
     *
     * @param pyConfig the configuration; it is copied
     */
    public static synchronized void setConfig(PyConfig pyConfig) {
        Objects.requireNonNull(pyConfig, "pyConfig");
        if (started) {
            throw new IllegalStateException("Python is already running; its configuration can no longer be set");
        }
        if (config != null && !configRefused) {
            throw new IllegalStateException("The Python configuration has already been set");
        }
        config = pyConfig.copy();
        configRefused = false;
    }

    /** Starts Python now, if it is not running yet. */
    public static synchronized void start() {
        if (started) {
            return;
        }
        NativeLoader.load();
        PyConfig c = config != null ? config : defaultConfig();
        try {
            initializePython(c.isolated, c.argv, c.hashSeed, c.useHashSeed, c.home, c.optimizationLevel,
                    c.parseArgv, c.programName, c.siteImport, c.useEnvironment, c.userSiteDirectory, c.verbose,
                    c.writeBytecode);
        } catch (RuntimeException | Error e) {
            // Python did not start: a corrected configuration may be set and tried again.
            configRefused = config != null;
            throw e;
        }
        started = true;
    }

    /** @return whether Python has started in this process */
    public static synchronized boolean isStarted() {
        return started;
    }

    /**
     * Imports a module into the main interpreter, whose {@code sys.modules} sub-interpreters
     * made with {@link SubInterpreterOptions#setPublishMainModules} can see. Must not be
     * called from inside Python code that holds an interpreter lock other than through a
     * Java call.
     *
     * @param module the module's dotted name
     */
    public static void sharedImport(String module) {
        Objects.requireNonNull(module, "module");
        start();
        sharedImportInternal(module);
    }

    /**
     * The configuration used when none was set: CPython's isolated configuration, with
     * the program name of the Python that {@link PythonRuntime} chose (the system property
     * {@code kiv.python.executable}, else {@code KIV_PYTHON}, else python3.12 on the
     * PATH, else the Python Kiv was built with; a virtual environment's python makes its
     * packages visible).
     */
    static PyConfig defaultConfig() {
        PyConfig c = new PyConfig();
        PythonRuntime.Found python = PythonRuntime.locate();
        String exe = python != null ? python.executable : BuildInfo.pythonExecutable();
        if (exe != null && !exe.isEmpty()) {
            c.setProgramName(exe);
        }
        String home = System.getProperty("kiv.python.home");
        if (home != null && !home.isEmpty()) {
            c.setHome(home);
        }
        return c;
    }

    /**
     * Makes the calling thread, Python's main thread (the one that started Python), the
     * one that signals for Python go to: a signal the process gets while Python has a
     * handler for it then interrupts a blocking call there (the kiv command's thread).
     */
    static void routeSignals() {
        if (isStarted()) {
            routeSignalsNative();
        }
    }

    private static native void routeSignalsNative();

    /**
     * The console reads a line (true) or no longer does (false). Meanwhile Ctrl-C, when
     * Python has the SIGINT handler, does not go to Python but to
     * {@link #consoleInterrupts()}, for the line editor.
     */
    static native void consoleReading(boolean reading);

    /** Waits for the next Ctrl-C that came while the console read a line; false: none will come. */
    static native boolean consoleInterrupts();

    static native void initializePython(boolean isolated, String[] argv, int hashSeed, int useHashSeed, String home,
            int optimizationLevel, int parseArgv, String programName, int siteImport, int useEnvironment,
            int userSiteDirectory, int verbose, int writeBytecode);

    static native void sharedImportInternal(String module);
}
