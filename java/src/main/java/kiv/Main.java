package kiv;

import java.io.File;
import java.io.IOException;
import java.lang.reflect.Method;
import java.net.MalformedURLException;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import kiv.python.PyCallable;
import kiv.python.PyObject;

/**
 * The {@code kiv} command: runs Python in the JVM the way the {@code python} command
 * does.
 *
 * <pre>
 * kiv [options] SCRIPT [ARGS...]     run a script file
 * kiv [options] -c CODE [ARGS...]    run a string of code
 * kiv [options] -m MODULE [ARGS...]  run a module as __main__
 * kiv [options] - [ARGS...]          run standard input as a script
 * kiv                                the console on a terminal, else standard input as a script
 * kiv --classpath                    print the class path that puts Kiv on another Java program's
 * </pre>
 *
 * Python runs in a {@link SharedInterpreter} of the main interpreter, so extension
 * modules without sub-interpreter support (NumPy) work. Scripts run in the
 * {@code __main__} module, and an uncaught exception prints the Python traceback and
 * exits with status 1; {@code sys.exit} exits with its status. The interactive console
 * is {@link kiv.Console}.
 */
public final class Main {
    static final String USAGE = String.join("\n",
            "usage: kiv [option] ... [-c cmd | -m mod | file | -] [arg] ...",
            "Runs Python 3.12 inside the Java virtual machine.",
            "",
            "  file                run the Python script in file",
            "  -c cmd              run the Python code in cmd",
            "  -m mod              run the module mod as __main__, as python -m does",
            "  -                   run the script read from standard input",
            "  (nothing)           the interactive console; without a terminal, run the script",
            "                      read from standard input",
            "  -i                  the interactive console after the script, code or module",
            "  -cp, --class-path path",
            "                      jars and folders (separated by ':') with Java classes for",
            "                      Python to import; the variable CLASSPATH adds more",
            "  --version           print the versions of Kiv, Python and Java",
            "  --classpath         print the class path that lets another Java program use Kiv",
            "  -h, --help          print this message",
            "",
            "Arguments after file, cmd, mod or - are passed on in sys.argv[1:].",
            "The console edits lines, keeps a history in ~/.kiv_history (KIV_HISTORY names",
            "another file; empty keeps none) and completes names with Tab. Ctrl-C interrupts",
            "the line or the running code; Ctrl-D on an empty line exits.",
            "",
            "Environment:",
            "  KIV_PYTHON          the python3.12 whose installation and packages Kiv uses,",
            "                      e.g. a virtual environment's (bin/kiv; default: the",
            "                      project's .venv). -Dkiv.python.executable does the same",
            "                      for a plain java command.",
            "  KIV_JAVA_OPTS       options for the Java virtual machine (bin/kiv), e.g. -Xmx2g",
            "  CLASSPATH           more jars and folders for Java classes, as for -cp");

    private Main() {
    }

    /**
     * Runs the command with its arguments, then exits the JVM with the command's status.
     *
     * @param args the command line, as {@code kiv --help} describes it
     */
    public static void main(String[] args) {
        int status;
        try {
            status = run(exactArguments(args));
        } catch (KivException e) {
            System.out.flush();
            System.err.println(describe(e));
            status = 1;
        } catch (LinkageError | IllegalStateException e) {
            // The native library did not load, or Python did not start.
            System.out.flush();
            System.err.println("kiv: " + e.getMessage());
            status = 1;
        } catch (IOException e) {
            System.out.flush();
            System.err.println("kiv: the terminal failed: " + e);
            status = 1;
        }
        System.out.flush();
        System.err.flush();
        System.exit(status);
    }

    /**
     * The arguments as the process got them. The JVM decodes its command line in the
     * locale's charset, which in the C or POSIX locale turns every non-ASCII byte into
     * '?'; python reads UTF-8 there (and keeps undecodable bytes as lone surrogates,
     * U+DC80 to U+DCFF). So the arguments are read again from /proc/self/cmdline, whose
     * last entries they are, and decoded that way; args as given where that cannot be
     * done.
     */
    static String[] exactArguments(String[] args) {
        byte[] raw;
        try {
            raw = java.nio.file.Files.readAllBytes(Path.of("/proc/self/cmdline"));
        } catch (IOException | RuntimeException e) {
            return args;
        }
        List<byte[]> entries = new ArrayList<>();
        int start = 0;
        for (int i = 0; i < raw.length; i++) {
            if (raw[i] == 0) {
                entries.add(Arrays.copyOfRange(raw, start, i));
                start = i + 1;
            }
        }
        if (entries.size() < args.length) {
            return args;
        }
        String[] exact = new String[args.length];
        for (int i = 0; i < args.length; i++) {
            exact[i] = decodeSurrogateEscape(entries.get(entries.size() - args.length + i));
            // The same argument, unless the JVM's decoding lost characters on the way.
            String given = args[i];
            if (given.length() != exact[i].length() && !given.contains("?") && !given.contains("\uFFFD")) {
                return args;
            }
        }
        return exact;
    }

    /** UTF-8, with each byte that is not part of a valid sequence as U+DC00 + the byte (surrogateescape). */
    static String decodeSurrogateEscape(byte[] bytes) {
        StringBuilder b = new StringBuilder(bytes.length);
        int i = 0;
        while (i < bytes.length) {
            int c = bytes[i] & 0xFF;
            int n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
            int low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
            int high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
            boolean valid = n > 0 && i + n <= bytes.length;
            for (int k = 1; valid && k < n; k++) {
                int d = bytes[i + k] & 0xFF;
                valid = k == 1 ? d >= low && d <= high : d >= 0x80 && d <= 0xBF;
            }
            if (!valid) {
                b.append((char) (0xDC00 + c));
                i++;
                continue;
            }
            int cp = n == 1 ? c : c & (0xFF >> (n + 1));
            for (int k = 1; k < n; k++) {
                cp = (cp << 6) | (bytes[i + k] & 0x3F);
            }
            b.appendCodePoint(cp);
            i += n;
        }
        return b.toString();
    }

    /** What to run, read from the command line. */
    static final class Command {
        String mode;
        String target;
        String[] argv = {""};
        List<String> origArgv = List.of();
        boolean interactive;
        final List<String> classPath = new ArrayList<>();
    }

    static int run(String[] args) throws IOException {
        Command c = new Command();
        c.origArgv = origArgv(args);
        int i = 0;
        while (i < args.length && c.mode == null) {
            String a = args[i];
            switch (a) {
                case "-h":
                case "--help":
                    System.out.println(USAGE);
                    return 0;
                case "--classpath":
                    System.out.println(classPath());
                    return 0;
                case "--version":
                    startPython(c.argv);
                    try (SharedInterpreter python = new SharedInterpreter()) {
                        System.out.println("Kiv " + version() + " (Python "
                                + python.getValue("__import__('sys').version.split()[0]") + ", Java "
                                + System.getProperty("java.version") + ")");
                    }
                    return 0;
                case "-i":
                    c.interactive = true;
                    i++;
                    break;
                case "-cp":
                case "--class-path":
                    if (i + 1 >= args.length) {
                        return usageError("Argument expected for the " + a + " option");
                    }
                    c.classPath.add(args[i + 1]);
                    i += 2;
                    break;
                case "-c":
                case "-m":
                    if (i + 1 >= args.length) {
                        return usageError("Argument expected for the " + a + " option");
                    }
                    c.mode = a.equals("-c") ? "code" : "module";
                    c.target = args[i + 1];
                    c.argv = argv(a, args, i + 2);
                    break;
                case "-":
                    c.mode = "stdin";
                    c.argv = argv("-", args, i + 1);
                    break;
                default:
                    if (a.startsWith("--class-path=")) {
                        c.classPath.add(a.substring("--class-path=".length()));
                        i++;
                    } else if (a.startsWith("-")) {
                        return usageError("Unknown option: " + a);
                    } else {
                        c.mode = "file";
                        c.target = a;
                        c.argv = argv(a, args, i + 1);
                    }
            }
        }
        if (c.mode == null) {
            c.mode = c.interactive || isTerminal() ? "console" : "stdin";
            c.interactive = c.mode.equals("console");
        }
        return runPython(c);
    }

    private static int usageError(String message) {
        System.err.println(message);
        System.err.println(USAGE);
        return 2;
    }

    private static String[] argv(String argv0, String[] args, int from) {
        List<String> argv = new ArrayList<>();
        argv.add(argv0);
        argv.addAll(Arrays.asList(args).subList(from, args.length));
        return argv.toArray(new String[0]);
    }

    /**
     * Starts Python as the python command does: CPython's regular configuration, so that
     * PYTHON* environment variables apply, the C and POSIX locales mean UTF-8, and
     * Python installs its signal handlers (for the signals the JVM leaves alone: all of
     * SIGINT, SIGTERM and SIGHUP when the JVM runs with -Xrs, as bin/kiv starts it).
     */
    private static void startPython(String[] argv) {
        PyConfig config = MainInterpreter.defaultConfig();
        config.setIsolated(false).setParseArgv(false);
        config.setArgv(argv);
        MainInterpreter.setConfig(config);
        MainInterpreter.start();
    }

    /** sys.orig_argv: the program as it was started (bin/kiv says how), then its arguments. */
    static List<String> origArgv(String[] args) {
        List<String> orig = new ArrayList<>();
        orig.add(System.getProperty("kiv.program", "kiv"));
        orig.addAll(Arrays.asList(args));
        return orig;
    }

    /**
     * Runs the command's Python and returns the status to exit with, after the steps
     * python takes before it exits (threads, atexit, flushing). An uncaught
     * KeyboardInterrupt ends the process by SIGINT, as in python.
     */
    private static int runPython(Command c) throws IOException {
        startPython(c.argv);
        // Python's main thread is this one: signals for Python reach it here.
        MainInterpreter.routeSignals();
        KivConfig config = new KivConfig().setSystemExitThrows(true);
        if (!c.classPath.isEmpty()) {
            // The jars of -cp, when they were not already put on the JVM's class path.
            ClassLoader loader = new URLClassLoader(urls(c.classPath), Main.class.getClassLoader());
            Thread.currentThread().setContextClassLoader(loader);
            config.setClassLoader(loader);
        }
        try (SharedInterpreter python = new SharedInterpreter(config)) {
            PythonModules.load(python, "_kivmain", "_kivmain.py");
            python.exec("import _kiv, _kivmain");
            int status;
            boolean ends;
            try {
                StringBuilder orig = new StringBuilder("[");
                for (String a : c.origArgv) {
                    orig.append(PythonLiterals.string(a)).append(", ");
                }
                PyObject job = python.getValue("_kivmain.prepare(" + PythonLiterals.string(c.mode) + ", "
                        + (c.target == null ? "None" : PythonLiterals.string(c.target)) + ", " + orig + "])",
                        PyObject.class);
                // From Java, so that the program's frame is the outermost, as in python.
                Object raised = job == null ? null
                        : python.getValue("_kiv._run_top", PyCallable.class).call(job);
                if (raised == null) {
                    status = 0;
                    ends = false;
                } else {
                    List<?> outcome = (List<?>) python.invoke("_kivmain.uncaught", raised);
                    status = ((Number) outcome.get(0)).intValue();
                    ends = (Boolean) outcome.get(1);
                }
            } catch (SystemExitException e) {
                status = e.getStatus();
                ends = true;
            }
            if (c.interactive && !ends) {
                if (Main.class.getClassLoader().getResource("org/jline/reader/LineReader.class") == null) {
                    System.err.println("kiv: the console needs the line editor JLine (org.jline:jline-reader) on the "
                            + "class path; bin/kiv puts it there");
                    status = 1;
                } else {
                    status = Console.run(python);
                }
            }
            status = ((Number) python.invoke("_kivmain.finish", status)).intValue();
            Object bySignal = python.invoke("_kivmain.exit_interrupted");
            return bySignal == null ? status : ((Number) bySignal).intValue();
        }
    }

    private static URL[] urls(List<String> classPath) {
        List<URL> urls = new ArrayList<>();
        for (String entry : classPath) {
            for (String part : entry.split(File.pathSeparator)) {
                if (part.isEmpty()) {
                    continue;
                }
                try {
                    urls.add(Path.of(part).toAbsolutePath().toUri().toURL());
                } catch (MalformedURLException e) {
                    throw new IllegalStateException("not a usable class path entry: " + part, e);
                }
            }
        }
        return urls.toArray(new URL[0]);
    }

    /** The version of Kiv, from the jar's manifest or the build's resource. */
    static String version() {
        String v = Main.class.getPackage().getImplementationVersion();
        if (v == null) {
            v = BuildInfo.kivVersion();
        }
        return v != null ? v : "(unknown version)";
    }

    /** A terminal on both ends: stdin to read from, stdout for the prompts. */
    private static boolean isTerminal() {
        java.io.Console console = System.console();
        if (console == null) {
            return false;
        }
        try {
            // Since Java 22 System.console() also exists when the streams are redirected.
            Method isTerminal = java.io.Console.class.getMethod("isTerminal");
            return (Boolean) isTerminal.invoke(console);
        } catch (NoSuchMethodException e) {
            return true;
        } catch (ReflectiveOperationException e) {
            return false;
        }
    }

    /**
     * A Python error as the prompt shows it: the Python frames that lead the stack trace
     * (innermost first, until the native method that ran the code) in traceback order,
     * then "Type: message".
     */
    static String describe(KivException e) {
        StringBuilder b = new StringBuilder();
        List<StackTraceElement> python = new ArrayList<>();
        for (StackTraceElement f : e.getStackTrace()) {
            if (f.isNativeMethod()) {
                break;
            }
            python.add(f);
        }
        if (python.size() == e.getStackTrace().length) {
            python.clear(); // no native frame: not a Python error
        }
        if (!python.isEmpty()) {
            b.append("Traceback (most recent call last):\n");
            for (int i = python.size() - 1; i >= 0; i--) {
                StackTraceElement f = python.get(i);
                b.append("  File \"").append(pythonFile(f)).append("\", line ").append(f.getLineNumber())
                        .append(", in ").append(f.getMethodName()).append('\n');
            }
        }
        return b.append(pythonMessage(e.getMessage())).toString();
    }

    /** The file name the frame came from: its directory is in the class name. */
    private static String pythonFile(StackTraceElement f) {
        String cls = f.getClassName();
        String file = f.getFileName();
        if (file == null || cls.equals(file)) {
            return cls;
        }
        int slash = cls.lastIndexOf('/');
        return slash < 0 ? file : cls.substring(0, slash + 1) + file;
    }

    /** "<class 'ValueError'>: bad" becomes "ValueError: bad", as Python prints it. */
    static String pythonMessage(String message) {
        if (message == null || !message.startsWith("<class '")) {
            return String.valueOf(message);
        }
        int end = message.indexOf("'>");
        if (end < 0) {
            return message;
        }
        String type = message.substring("<class '".length(), end);
        for (String prefix : new String[] {"builtins.", "__main__."}) {
            if (type.startsWith(prefix)) {
                type = type.substring(prefix.length());
            }
        }
        String rest = message.substring(end + 2);
        if (rest.startsWith(": ")) {
            rest = rest.substring(2);
        }
        return rest.isEmpty() ? type : type + ": " + rest;
    }

    /** The jar or classes directory the kiv classes were loaded from. */
    static String classPath() {
        CodeSource source = Main.class.getProtectionDomain().getCodeSource();
        if (source == null || source.getLocation() == null) {
            throw new IllegalStateException("cannot tell where the kiv classes were loaded from");
        }
        try {
            return Path.of(source.getLocation().toURI()).toAbsolutePath().toString();
        } catch (URISyntaxException e) {
            throw new IllegalStateException("cannot tell where the kiv classes were loaded from", e);
        }
    }
}
