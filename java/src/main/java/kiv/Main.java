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
            status = run(args);
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

    /** What to run, read from the command line. */
    static final class Command {
        String mode;
        String target;
        String[] argv = {""};
        boolean interactive;
        final List<String> classPath = new ArrayList<>();
    }

    static int run(String[] args) throws IOException {
        Command c = new Command();
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

    private static void startPython(String[] argv) {
        PyConfig config = MainInterpreter.defaultConfig();
        config.setArgv(argv);
        MainInterpreter.setConfig(config);
        MainInterpreter.start();
    }

    /**
     * Runs the command's Python; returns 0 when it ran through, and the console's status
     * after an interactive run. Any other status leaves through sys.exit.
     */
    private static int runPython(Command c) throws IOException {
        startPython(c.argv);
        KivConfig config = new KivConfig();
        if (!c.classPath.isEmpty()) {
            // The jars of -cp, when they were not already put on the JVM's class path.
            ClassLoader loader = new URLClassLoader(urls(c.classPath), Main.class.getClassLoader());
            Thread.currentThread().setContextClassLoader(loader);
            config.setClassLoader(loader);
        }
        try (SharedInterpreter python = new SharedInterpreter(config)) {
            PythonModules.load(python, "_kivmain", "_kivmain.py");
            python.exec("import _kivmain");
            int status = python.invoke("_kivmain.run_main", c.mode, c.target, c.interactive) instanceof Long l
                    ? l.intValue() : 1;
            if (!c.interactive) {
                return status;
            }
            if (Main.class.getClassLoader().getResource("org/jline/reader/LineReader.class") == null) {
                System.err.println("kiv: the console needs the line editor JLine (org.jline:jline-reader) on the "
                        + "class path; bin/kiv puts it there");
                return 1;
            }
            status = Console.run(python);
            // As python before it exits; leaves through SystemExit unless the status is 0.
            python.invoke("_kivmain.finish", status);
            return status;
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
