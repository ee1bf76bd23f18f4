package kiv;

import java.io.BufferedReader;
import java.io.Console;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.lang.reflect.Method;
import java.net.URISyntaxException;
import java.nio.charset.Charset;
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
 * kiv SCRIPT [ARGS...]     run a script file
 * kiv -c CODE [ARGS...]    run a string of code
 * kiv - [ARGS...]          run standard input as a script
 * kiv                      interactive prompt on a terminal, else standard input as a script
 * kiv --classpath          print the class path that puts Kiv on another Java program's
 * </pre>
 *
 * Python runs in a {@link SharedInterpreter} of the main interpreter, so extension
 * modules without sub-interpreter support (NumPy) work. Scripts run in the
 * {@code __main__} module, and an uncaught exception prints the Python traceback and
 * exits with status 1; {@code sys.exit} exits with its status.
 */
public final class Main {
    static final String USAGE = String.join("\n",
            "usage: kiv [option] ... [-c cmd | file | -] [arg] ...",
            "Runs Python 3.12 inside the Java virtual machine.",
            "",
            "  file           run the Python script in file",
            "  -c cmd         run the Python code in cmd",
            "  -              run the script read from standard input",
            "  (nothing)      interactive prompt; without a terminal, read the script from standard input",
            "  --classpath    print the class path that lets another Java program use Kiv",
            "  -h, --help     print this message",
            "",
            "Arguments after file, cmd or - are passed on in sys.argv[1:].",
            "The Python used is named by -Dkiv.python.executable (a virtual environment's",
            "python3.12 makes its packages importable), else the one Kiv was built against.");

    /**
     * Runs a script, code string or standard input inside the __main__ module, as python
     * does, and leaves through SystemExit (which the native library turns into the
     * process's exit status) unless all went well. Defined in the interpreter's own
     * globals, so __main__ stays clean.
     */
    static final String BOOTSTRAP = String.join("\n",
            "def _kiv_main(mode, arg):",
            "    import sys, os",
            "",
            "    def flush():",
            "        for stream in (sys.stdout, sys.stderr):",
            "            try:",
            "                if stream is not None:",
            "                    stream.flush()",
            "            except Exception:",
            "                pass",
            "",
            "    def exit_status(e):",
            "        code = e.code",
            "        if code is None:",
            "            return 0",
            "        if isinstance(code, int):",
            "            return code",
            "        try:",
            "            print(code, file=sys.stderr)",
            "        except Exception:",
            "            pass",
            "        return 1",
            "",
            "    def finish():",
            "        # What python does before it exits: wait for non-daemon threads, run atexit.",
            "        threading = sys.modules.get('threading')",
            "        if threading is not None:",
            "            me = threading.current_thread()",
            "            for t in threading.enumerate():",
            "                if t is not me and t is not threading.main_thread() and not t.daemon:",
            "                    t.join()",
            "        import atexit",
            "        run_exitfuncs = getattr(atexit, '_run_exitfuncs', None)",
            "        if run_exitfuncs is not None:",
            "            run_exitfuncs()",
            "        flush()",
            "",
            "    main = sys.modules['__main__']",
            "    g = main.__dict__",
            "    try:",
            "        if mode == 'file':",
            "            path = os.path.abspath(arg)",
            "            try:",
            "                with open(arg, 'rb') as f:",
            "                    source = f.read()",
            "            except OSError as e:",
            "                print(\"kiv: can't open file %r: [Errno %s] %s\" % (path, e.errno, e.strerror),",
            "                      file=sys.stderr)",
            "                flush()",
            "                raise SystemExit(2)",
            "            sys.path.insert(0, os.path.dirname(os.path.realpath(arg)))",
            "            g['__file__'] = path",
            "            g['__cached__'] = None",
            "            code = compile(source, path, 'exec')",
            "        elif mode == 'code':",
            "            sys.path.insert(0, '')",
            "            code = compile(arg, '<string>', 'exec')",
            "        else:",
            "            sys.path.insert(0, '')",
            "            code = compile(sys.stdin.buffer.read(), '<stdin>', 'exec')",
            "        exec(code, g)",
            "        status = 0",
            "    except SystemExit as e:",
            "        status = exit_status(e)",
            "    except BaseException as e:",
            "        tb = e.__traceback__",
            "        while tb is not None and tb.tb_frame.f_code is _kiv_main.__code__:",
            "            tb = tb.tb_next",
            "        e.__traceback__ = tb  # the hook prints the exception's own traceback",
            "        flush()",
            "        sys.excepthook(type(e), e, tb)",
            "        status = 1",
            "    try:",
            "        finish()",
            "    except SystemExit as e:",
            "        status = exit_status(e)",
            "    except BaseException as e:",
            "        sys.excepthook(type(e), e, e.__traceback__)",
            "        status = status or 1",
            "    flush()",
            "    if status:",
            "        raise SystemExit(status)",
            "");

    private Main() {
    }

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
        }
        System.out.flush();
        System.err.flush();
        System.exit(status);
    }

    static int run(String[] args) {
        if (args.length == 0) {
            return isTerminal() ? console() : runPython("stdin", null, new String[] {""});
        }
        String first = args[0];
        switch (first) {
            case "-h":
            case "--help":
                System.out.println(USAGE);
                return 0;
            case "--classpath":
                System.out.println(classPath());
                return 0;
            case "-c":
                if (args.length < 2) {
                    System.err.println("Argument expected for the -c option");
                    System.err.println(USAGE);
                    return 2;
                }
                return runPython("code", args[1], argv("-c", args, 2));
            case "-":
                return runPython("stdin", null, argv("-", args, 1));
            default:
                if (first.startsWith("-")) {
                    System.err.println("Unknown option: " + first);
                    System.err.println(USAGE);
                    return 2;
                }
                return runPython("file", first, argv(first, args, 1));
        }
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

    /** Returns 0 when the code ran through; any other status leaves through sys.exit. */
    private static int runPython(String mode, String arg, String[] argv) {
        startPython(argv);
        try (SharedInterpreter python = new SharedInterpreter()) {
            python.exec(BOOTSTRAP + "_kiv_main(" + PythonLiterals.string(mode) + ", "
                    + (arg == null ? "None" : PythonLiterals.string(arg)) + ")\n");
        }
        return 0;
    }

    // ---- interactive console -------------------------------------------------------

    private static int console() {
        startPython(new String[] {""});
        PrintStream out = System.out;
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, consoleCharset()));
        try (SharedInterpreter python = new SharedInterpreter()) {
            python.exec("__name__ = '__main__'\n__import__('sys').path.insert(0, '')\n"
                    + "print('Python', __import__('sys').version.split()[0], 'in Kiv on Java', "
                    + PythonLiterals.string(System.getProperty("java.version")) + ")\n");
            flushPython(python);
            while (true) {
                out.print(">>> ");
                out.flush();
                String line = in.readLine();
                if (line == null) {
                    out.println();
                    return 0;
                }
                if (line.isBlank()) {
                    continue;
                }
                String statement = line;
                if (!compiles(python, line)) {
                    StringBuilder block = new StringBuilder(line).append('\n');
                    while (true) {
                        out.print("... ");
                        out.flush();
                        String more = in.readLine();
                        if (more == null) {
                            out.println();
                            return 0;
                        }
                        if (more.isBlank()) {
                            break;
                        }
                        block.append(more).append('\n');
                    }
                    statement = block.toString();
                }
                try {
                    python.eval(statement);
                } catch (KivException e) {
                    flushPython(python);
                    System.err.println(describe(e));
                    System.err.flush();
                }
                flushPython(python);
            }
        } catch (IOException e) {
            System.err.println("kiv: reading standard input failed: " + e);
            return 1;
        }
    }

    /** Whether the line is a complete statement by itself. */
    private static boolean compiles(Interpreter python, String line) {
        try {
            return python.compileString(line) == 1;
        } catch (KivException e) {
            return false; // reported when the block runs
        }
    }

    private static void flushPython(Interpreter python) {
        python.exec("import sys as _kiv_sys\n"
                + "for _kiv_stream in (_kiv_sys.stdout, _kiv_sys.stderr):\n"
                + "    if _kiv_stream is not None:\n"
                + "        _kiv_stream.flush()\n"
                + "del _kiv_sys, _kiv_stream\n");
    }

    /** A terminal on both ends: stdin to read from, stdout for the prompts. */
    private static boolean isTerminal() {
        Console console = System.console();
        if (console == null) {
            return false;
        }
        try {
            // Since Java 22 System.console() also exists when the streams are redirected.
            Method isTerminal = Console.class.getMethod("isTerminal");
            return (Boolean) isTerminal.invoke(console);
        } catch (NoSuchMethodException e) {
            return true;
        } catch (ReflectiveOperationException e) {
            return false;
        }
    }

    private static Charset consoleCharset() {
        Console console = System.console();
        return console != null ? console.charset() : Charset.defaultCharset();
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
