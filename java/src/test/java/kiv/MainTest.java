package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The kiv command, run in child JVMs. */
class MainTest {

    private static ChildJvm kiv(String... args) {
        return ChildJvm.main("kiv.Main").args(args);
    }

    @Test
    void classPathNamesWhereKivIsLoadedFrom() throws Exception {
        ChildJvm.Result r = kiv("--classpath").run().assertExit(0);
        Path printed = Path.of(r.stdout.strip());
        assertTrue(printed.isAbsolute(), r.toString());
        assertTrue(Files.exists(printed.resolve("kiv/Main.class")) || Files.isRegularFile(printed), r.toString());
        assertEquals(Path.of(Main.class.getProtectionDomain().getCodeSource().getLocation().toURI()), printed);
    }

    @Test
    void badUsageExitsWithStatus2() throws Exception {
        assertTrue(kiv("--help").run().assertExit(0).stdout.contains("usage: kiv"));
        assertTrue(kiv("--no-such-option").run().assertExit(2).stderr.contains("Unknown option: --no-such-option"));
        assertTrue(kiv("-c").run().assertExit(2).stderr.contains("Argument expected for the -c option"));
    }

    @Test
    void pythonErrorMessagesReadAsPythonPrintsThem() {
        assertEquals("ValueError: bad value", Main.pythonMessage("<class 'ValueError'>: bad value"));
        assertEquals("ValueError", Main.pythonMessage("<class 'ValueError'>: "));
        assertEquals("Oops: x", Main.pythonMessage("<class '__main__.Oops'>: x"));
        assertEquals("json.decoder.JSONDecodeError: y", Main.pythonMessage("<class 'json.decoder.JSONDecodeError'>: y"));
        assertEquals("This interpreter is closed", Main.pythonMessage("This interpreter is closed"));
    }

    /** Runs Python: needs the native library. */
    @Nested
    class WithPython {
        @TempDir
        Path tmp;

        @BeforeEach
        void needsNativeLibrary() {
            assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        }

        @Test
        void runsCodeWithItsArguments() throws Exception {
            ChildJvm.Result r = kiv("-c", "import sys\nprint(1+1)\nprint(sys.argv)", "a", "b c").run();
            r.assertExit(0).assertNoJniProblems();
            assertEquals("2\n['-c', 'a', 'b c']\n", r.stdout);
            assertEquals("", r.stderr);
        }

        @Test
        void runsAScriptAsMainWithItsDirectoryOnThePath() throws Exception {
            Path dir = Files.createDirectory(tmp.resolve("app"));
            Files.writeString(dir.resolve("helper.py"), "VALUE = 42\n");
            Path script = Files.writeString(dir.resolve("main.py"), String.join("\n",
                    "import sys, helper",
                    "print(__name__, __file__ == " + PythonLiterals.string(script(dir)) + ")",
                    "print(sys.argv)",
                    "print(helper.VALUE, sys.path[0] == " + PythonLiterals.string(dir.toRealPath().toString()) + ")",
                    "print('caf\\u00e9')",
                    ""));
            ChildJvm.Result r = kiv(script.toString(), "x").run();
            r.assertExit(0).assertNoJniProblems();
            assertEquals("__main__ True\n['" + script + "', 'x']\n42 True\ncafé\n", r.stdout);
        }

        /** Start-up as python's: the C locale means UTF-8, PYTHON* variables apply, no frame below __main__. */
        @Test
        void startsAsPythonDoes() throws Exception {
            Path lib = Files.createDirectory(tmp.resolve("lib"));
            Files.writeString(lib.resolve("extra.py"), "WHERE = 'lib'\n");
            ChildJvm.Result r = kiv("-c", String.join("\n",
                    "import sys, extra, _xxsubinterpreters as interpreters",
                    "print('caf\u00e9', sys.flags.utf8_mode, extra.WHERE, sys.dont_write_bytecode)",
                    "print(__name__, sys._getframe().f_back, sys.orig_argv[:2], sys.orig_argv[3:])",
                    "print(interpreters.is_running(interpreters.get_main()))",
                    "from concurrent.futures import ThreadPoolExecutor",
                    "pool = ThreadPoolExecutor(2)",
                    "print(pool.submit(sum, [1, 2]).result(), end=' kept in a global')"), "\u00e9")
                    .env("LC_ALL", "C").env("PYTHONPATH", lib.toString()).env("PYTHONDONTWRITEBYTECODE", "1")
                    .jvmOptions("-Dkiv.program=/bin/kiv").timeout(java.time.Duration.ofSeconds(60)).run();
            r.assertExit(0).assertNoJniProblems();
            assertEquals("caf\u00e9 1 lib True\n__main__ None ['/bin/kiv', '-c'] ['\u00e9']\nTrue\n3 kept in a global",
                    r.stdout);
        }

        /** Whether python3.12, started from this JVM, finds SIGINT ignored. */
        private boolean sigintIgnoredHere() throws Exception {
            Process p = new ProcessBuilder(System.getProperty("kiv.python.executable"), "-c",
                    "import signal; print(signal.getsignal(signal.SIGINT) is signal.SIG_IGN)")
                    .redirectErrorStream(true).start();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
            assertTrue(p.waitFor(60, TimeUnit.SECONDS), "python3.12 did not end");
            assertTrue(out.equals("True") || out.equals("False"), out);
            return out.equals("True");
        }

        /** Python owns the signals the JVM leaves to it (-Xrs, as bin/kiv runs it). */
        @Test
        void signalsBehaveAsInPython() throws Exception {
            ChildJvm.Result r = kiv("-c", String.join("\n",
                    "import os, signal, _thread, time",
                    "print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)",
                    "try:",
                    "    _thread.interrupt_main()",
                    "    time.sleep(5)",
                    "except KeyboardInterrupt:",
                    "    print('interrupt_main')",
                    "class Alarm(Exception): pass",
                    "def on_alarm(*a): raise Alarm()",
                    "signal.signal(signal.SIGALRM, on_alarm)",
                    "r, w = os.pipe()",
                    "for arm, block in [(lambda: signal.alarm(1), lambda: os.read(r, 1)),",
                    "                   (lambda: signal.setitimer(signal.ITIMER_REAL, 0.2), signal.pause)]:",
                    "    start = time.monotonic()",
                    "    arm()",
                    "    try:",
                    "        block()",
                    "    except Alarm:",
                    "        print('woken', time.monotonic() - start < 4)",
                    "got = []",
                    "signal.signal(signal.SIGTERM, lambda *a: got.append('term'))",
                    "os.kill(os.getpid(), signal.SIGTERM)",
                    "time.sleep(0.5)",
                    "print(got)",
                    "raise KeyboardInterrupt")).jvmOptions("-Xrs").timeout(java.time.Duration.ofSeconds(60)).run();
            // A process started with SIGINT ignored (a background job of a shell) keeps it
            // ignored, in python as here; interrupt_main then does nothing.
            String expected = sigintIgnoredHere()
                    ? "False\nwoken True\nwoken True\n['term']\n"
                    : "True\ninterrupt_main\nwoken True\nwoken True\n['term']\n";
            assertEquals(expected, r.stdout, r.toString());
            assertTrue(r.stderr.endsWith("KeyboardInterrupt\n"), r.toString());
            r.assertExit(128 + 2).assertNoJniProblems();  // ended by SIGINT, as python
        }

        @Test
        void readsTheScriptFromStandardInputWithoutATerminal() throws Exception {
            ChildJvm.Result r = kiv().stdin("x = 6\nprint(x * 7)\n").run();
            r.assertExit(0).assertNoJniProblems();
            assertEquals("42\n", r.stdout);
            r = kiv("-", "arg").stdin("import sys\nprint(sys.argv)\n").run();
            assertEquals("['-', 'arg']\n", r.assertExit(0).stdout);
        }

        @Test
        void exitStatusFollowsSysExit() throws Exception {
            ChildJvm.Result r = kiv("-c", "import sys\nprint('before')\nsys.exit(3)").run().assertExit(3);
            assertEquals("before\n", r.stdout, "Python's buffered output is flushed before exiting");
            kiv("-c", "import sys; sys.exit()").run().assertExit(0);
            kiv("-c", "raise SystemExit(None)").run().assertExit(0);
            r = kiv("-c", "import sys; sys.exit('failed badly')").run().assertExit(1);
            assertEquals("failed badly\n", r.stderr);
            kiv("-c", "class MyExit(SystemExit): pass\nraise MyExit(4)").run().assertExit(4);
        }

        @Test
        void atexitHandlersRunBeforeExit() throws Exception {
            ChildJvm.Result r = kiv("-c", "import atexit\natexit.register(print, 'bye')\nprint('hi')").run();
            assertEquals("hi\nbye\n", r.assertExit(0).stdout);
            r = kiv("-c", "import atexit, sys\natexit.register(print, 'bye')\nsys.exit(5)").run();
            assertEquals("bye\n", r.assertExit(5).stdout);
        }

        /** The traceback on stderr is the one python prints for the same file. */
        @Test
        void uncaughtErrorsPrintPythonsTracebackAndExit1() throws Exception {
            Path script = Files.writeString(tmp.resolve("fails.py"), String.join("\n",
                    "def inner(x):",
                    "    return 10 / x",
                    "",
                    "def outer():",
                    "    try:",
                    "        inner(0)",
                    "    except ZeroDivisionError as e:",
                    "        raise ValueError('bad value') from e",
                    "",
                    "print('partial output')",
                    "outer()",
                    ""));
            ChildJvm.Result r = kiv(script.toString()).run();
            r.assertExit(1).assertNoJniProblems();
            assertEquals("partial output\n", r.stdout);
            assertTrue(r.stderr.startsWith("Traceback (most recent call last):\n"), r.toString());
            assertTrue(r.stderr.endsWith("ValueError: bad value\n"), r.toString());
            assertEquals(python(script.toString()), r.stderr);

            Path syntax = Files.writeString(tmp.resolve("syntax.py"), "x = 1\nprint(x +* 2)\n");
            r = kiv(syntax.toString()).run().assertExit(1);
            assertTrue(r.stderr.contains("SyntaxError"), r.toString());
            assertEquals(python(syntax.toString()), r.stderr);

            r = kiv("-c", "import json\njson.loads('{')").run().assertExit(1);
            assertEquals(python("-c", "import json\njson.loads('{')"), r.stderr);
        }

        @Test
        void aMissingScriptIsReported() throws Exception {
            Path missing = tmp.resolve("missing.py");
            ChildJvm.Result r = kiv(missing.toString()).run().assertExit(2);
            assertTrue(r.stderr.contains("can't open file '" + missing + "'"), r.toString());
        }

        @Test
        void runsAModuleAsMain() throws Exception {
            Path dir = Files.createDirectory(tmp.resolve("modules"));
            Files.writeString(dir.resolve("greet.py"), String.join("\n",
                    "import sys",
                    "print(__name__, sys.argv[1:], sys.argv[0].endswith('greet.py'))",
                    "if __name__ == '__main__':",
                    "    raise SystemExit(int(sys.argv[1]))",
                    ""));
            ChildJvm.Result r = kiv("-m", "greet", "4").directory(dir).run().assertExit(4).assertNoJniProblems();
            assertEquals("__main__ ['4'] True\n", r.stdout);
            r = kiv("-m", "no_such_module_here").directory(dir).run().assertExit(1);
            assertTrue(r.stderr.contains("No module named no_such_module_here"), r.toString());
            assertTrue(r.stderr.contains("Kiv runs the Python environment"), "names the environment:\n" + r);
        }

        /** -i: the console after the code, even without a terminal, in the same __main__. */
        @Test
        void consoleAfterTheCode() throws Exception {
            ChildJvm.Result r = kiv("-i", "-c", "x = 6\ndef fail(): raise KeyError('k')")
                    .stdin("print(x * 7)\nfail()\nfor i in range(2):\n    print('i', i)\n\nimport sys; sys.exit(x)\n")
                    .run().assertExit(6).assertNoJniProblems();
            assertTrue(r.stdout.contains("42\n"), r.toString());
            assertTrue(r.stdout.contains("i 0\ni 1\n"), "a block runs after its empty line:\n" + r);
            assertTrue(r.stderr.contains("  File \"<stdin>\", line 1, in <module>\n  File \"<string>\", line 2, in fail\n"
                    + "KeyError: 'k'"), "a traceback names the places:\n" + r);

            // An error in the script is reported; the console still starts. Ctrl-D ends it with 0.
            r = kiv("-i", "-c", "1/0").stdin("print('after')\n").run().assertExit(0);
            assertTrue(r.stderr.contains("ZeroDivisionError"), r.toString());
            assertTrue(r.stdout.contains("after\n"), r.toString());
        }

        @Test
        void theConsoleSaysWhatItMissesWithoutItsLineEditor() throws Exception {
            String withoutJline = java.util.Arrays.stream(System.getProperty("java.class.path").split(":"))
                    .filter(e -> !e.contains("jline")).collect(java.util.stream.Collectors.joining(":"));
            ChildJvm.Result r = kiv("-i", "-c", "print('ran')").classPath(withoutJline).run().assertExit(1);
            assertEquals("ran\n", r.stdout);
            assertTrue(r.stderr.contains("the console needs the line editor JLine"), r.toString());
        }

        @Test
        void versionNamesKivPythonAndJava() throws Exception {
            ChildJvm.Result r = kiv("--version").run().assertExit(0);
            assertTrue(r.stdout.matches("Kiv \\S+ \\(Python 3\\.12\\.\\d+\\S*, Java "
                    + java.util.regex.Pattern.quote(System.getProperty("java.version")) + "\\)\n"), r.toString());
        }

        /** -cp puts the user's classes where Python finds them. */
        @Test
        void classPathOptionAddsTheUsersClasses() throws Exception {
            Path classes = compile(tmp, "extra.Greeter",
                    "package extra; public class Greeter { public static String greet(String n) { return \"hi \" + n; } }");
            for (String[] option : new String[][] {{"-cp", classes.toString()}, {"--class-path=" + classes}}) {
                List<String> args = new ArrayList<>(List.of(option));
                args.addAll(List.of("-c", "import _kiv\nprint(_kiv.forName('extra.Greeter').greet('you'))"));
                ChildJvm.Result r = kiv(args.toArray(new String[0])).run().assertExit(0).assertNoJniProblems();
                assertEquals("hi you\n", r.stdout);
            }
            ChildJvm.Result r = kiv("-cp").run().assertExit(2);
            assertTrue(r.stderr.contains("Argument expected for the -cp option"), r.toString());
        }

        private String script(Path dir) throws Exception {
            return dir.resolve("main.py").toAbsolutePath().toString();
        }

        /** Compiles one class into a new folder under dir; returns the folder. */
        static Path compile(Path dir, String className, String source) throws Exception {
            Path src = Files.createDirectories(dir.resolve("src"));
            Path out = Files.createDirectories(dir.resolve("classes"));
            Path file = Files.writeString(src.resolve(className.substring(className.lastIndexOf('.') + 1) + ".java"),
                    source);
            javax.tools.JavaCompiler javac = javax.tools.ToolProvider.getSystemJavaCompiler();
            assumeTrue(javac != null, "no Java compiler in this JVM");
            assertEquals(0, javac.run(null, null, null, "-d", out.toString(), file.toString()));
            return out;
        }

        /** The stderr of the real python3.12 running the same arguments. */
        private String python(String... args) throws Exception {
            String exe = System.getProperty("kiv.python.executable");
            if (exe == null || !Files.isExecutable(Path.of(exe))) {
                exe = BuildInfo.pythonExecutable();
            }
            assumeTrue(exe != null && Files.isExecutable(Path.of(exe)), "no python3.12 to compare with");
            List<String> cmd = new ArrayList<>(List.of(exe));
            cmd.addAll(List.of(args));
            Process p = new ProcessBuilder(cmd).redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            p.getOutputStream().close();
            String err = new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
            assertTrue(p.waitFor(60, TimeUnit.SECONDS));
            return err;
        }
    }
}
