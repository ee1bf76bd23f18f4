package kiv;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * The CPython 3.12 installation Kiv runs, found when the native library loads, so that
 * one jar serves any CPython 3.12 with its shared library: the native library names
 * {@code libpython3.12.so.1.0} but no folder, and this class loads that library from the
 * chosen Python's installation first (the dynamic linker then uses it for Kiv's).
 *
 * <p>The Python is the first of: the system property {@code kiv.python.executable}; the
 * environment variable {@code KIV_PYTHON}; {@code python3.12} on the {@code PATH}; the
 * Python Kiv was built with. A Python named by the property or the variable must be
 * usable: one that is not CPython 3.12 with a shared library is refused with a message
 * that says what was found, never replaced by another. The executable may be a virtual
 * environment's, whose packages the interpreter then sees.
 */
final class PythonRuntime {
    static final String PROPERTY = "kiv.python.executable";
    static final String ENVIRONMENT = "KIV_PYTHON";

    /** What Kiv needs, for messages. */
    private static final String NEEDED = "Kiv needs CPython 3.12 built with its shared library (libpython3.12.so)";

    /** Prints what the installation is: one fact per line. */
    private static final String INSPECT = String.join("\n",
            "import sys, sysconfig, os",
            "v = sysconfig.get_config_var",
            "print(sys.implementation.name)",
            "print('%d.%d' % sys.version_info[:2])",
            "print(sys.version.split()[0])",
            "print(sys.executable)",
            "print(sys.base_prefix)",
            "libdir = v('LIBDIR') or ''",
            "prefix = v('prefix') or ''",
            "if prefix and libdir.startswith(prefix) and sys.base_prefix != prefix:",
            "    libdir = sys.base_prefix + libdir[len(prefix):]   # a relocated installation",
            "print(os.path.join(libdir, v('INSTSONAME') or v('LDLIBRARY') or ''))",
            "print(v('Py_ENABLE_SHARED') or 0)",
            "");

    /** A Python installation as its executable describes it. */
    static final class Found {
        final String executable;
        final String source;
        final String version;
        final String home;
        final String library;

        Found(String executable, String source, String version, String home, String library) {
            this.executable = executable;
            this.source = source;
            this.version = version;
            this.home = home;
            this.library = library;
        }

        @Override
        public String toString() {
            return "Python " + version + " at " + executable + " (" + source + ")";
        }
    }

    private static Found found;
    private static boolean located;

    private PythonRuntime() {
    }

    /**
     * The Python to run, found once; null when no candidate names one (then the native
     * library must find libpython through the system's library path).
     *
     * @throws IllegalStateException when the Python named by the property or the
     *         environment variable is not usable, saying why
     */
    static synchronized Found locate() {
        if (!located) {
            found = locate(System.getProperty(PROPERTY), System.getenv(ENVIRONMENT), onPath("python3.12"),
                    BuildInfo.pythonExecutable());
            located = true;
        }
        return found;
    }

    static Found locate(String property, String environment, String onPath, String builtWith) {
        if (property != null && !property.isEmpty()) {
            return inspect(property, "-D" + PROPERTY + "=" + property);
        }
        if (environment != null && !environment.isEmpty()) {
            return inspect(environment, ENVIRONMENT + "=" + environment);
        }
        for (String[] candidate : new String[][] {{onPath, "python3.12 on the PATH"},
                {builtWith, "the Python Kiv was built with"}}) {
            if (candidate[0] == null || !Files.isExecutable(Path.of(candidate[0]))) {
                continue;
            }
            try {
                return inspect(candidate[0], candidate[1]);
            } catch (IllegalStateException e) {
                // not chosen by the user: the next candidate
            }
        }
        return null;
    }

    /**
     * Runs the executable to learn its installation; refuses anything but CPython 3.12
     * with a shared library that exists.
     */
    static Found inspect(String executable, String source) {
        Path exe = Path.of(executable);
        if (!Files.exists(exe)) {
            throw new IllegalStateException(source + ": no such file. " + NEEDED
                    + "; name its python3.12 executable.");
        }
        List<String> lines;
        try {
            Process p = new ProcessBuilder(executable, "-I", "-c", INSPECT).redirectErrorStream(true).start();
            p.getOutputStream().close();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (!p.waitFor(60, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IllegalStateException(source + " did not answer within 60 seconds when asked for its "
                        + "installation. " + NEEDED + ".");
            }
            lines = List.of(out.split("\n"));
            if (p.exitValue() != 0 || lines.size() < 7) {
                throw new IllegalStateException(source + " is not a Python interpreter: running it with -c "
                        + "failed (status " + p.exitValue() + ": " + firstLine(out) + "). " + NEEDED
                        + "; name its python3.12 executable.");
            }
        } catch (IOException e) {
            throw new IllegalStateException(source + " cannot be run (" + e.getMessage() + "). " + NEEDED
                    + "; name its python3.12 executable.", e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException("Interrupted while asking " + source + " for its installation", e);
        }
        String implementation = lines.get(0).strip();
        String minor = lines.get(1).strip();
        String version = lines.get(2).strip();
        if (!implementation.equals("cpython") || !minor.equals("3.12")) {
            throw new IllegalStateException(source + " is " + (implementation.equals("cpython") ? "" : implementation
                    + " ") + "Python " + version + ". " + NEEDED + ": point " + ENVIRONMENT + " or -D" + PROPERTY
                    + " at a python3.12 (a virtual environment's works too).");
        }
        String library = lines.get(5).strip();
        if (!lines.get(6).strip().equals("1") || !Files.isRegularFile(Path.of(library))) {
            throw new IllegalStateException(source + " is Python " + version + " without a shared library ("
                    + library + " is missing). " + NEEDED + ": install a build with --enable-shared (pyenv: "
                    + "PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 3.12), or your system's libpython3.12.");
        }
        return new Found(lines.get(3).strip(), source, version, lines.get(4).strip(), library);
    }

    private static String firstLine(String text) {
        String t = text.strip();
        int nl = t.indexOf('\n');
        String line = t.isEmpty() ? "no output" : nl < 0 ? t : t.substring(0, nl);
        return line.length() > 100 ? line.substring(0, 100) + "..." : line;
    }

    /** The first executable of that name on the PATH, or null. */
    static String onPath(String name) {
        String path = System.getenv("PATH");
        if (path == null) {
            return null;
        }
        for (String dir : path.split(File.pathSeparator)) {
            if (dir.isEmpty()) {
                continue;
            }
            Path p = Path.of(dir, name);
            if (Files.isExecutable(p) && !Files.isDirectory(p)) {
                return p.toString();
            }
        }
        return null;
    }

    /**
     * Loads the chosen Python's libpython, so that the native library, which names it
     * without a folder, links to it. Does nothing when no Python was found.
     */
    static void loadLibrary() {
        Found f = locate();
        if (f == null) {
            return;
        }
        try {
            System.load(f.library);
        } catch (UnsatisfiedLinkError e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError("Cannot load " + f.library + " of " + f + ": "
                    + e.getMessage());
            error.initCause(e);
            throw error;
        }
    }
}
