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

        /** The prompt needs a terminal: util-linux script(1) provides one. */
        @Test
        void interactivePromptOnATerminal() throws Exception {
            Path script = Path.of("/usr/bin/script");
            assumeTrue(Files.isExecutable(script), "no script(1) to make a terminal");
            StringBuilder shell = new StringBuilder();
            for (String word : kiv().command()) {
                shell.append('\'').append(word.replace("'", "'\\''")).append("' ");
            }
            Process p = new ProcessBuilder(script.toString(), "-qec", shell.toString(), "/dev/null")
                    .redirectErrorStream(true).start();
            try (var in = p.getOutputStream()) {
                in.write(String.join("\n", "1+1", "x = 5", "if x:", "    print('yes')", "", "print(nothing)",
                        "x * 2", "").getBytes(StandardCharsets.UTF_8));
            }
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).replace("\r\n", "\n");
            assertTrue(p.waitFor(60, TimeUnit.SECONDS));
            assertEquals(0, p.exitValue(), out);
            assertTrue(out.contains(">>> 2\n"), out);
            assertTrue(out.contains("... ... yes\n"), "a block runs after an empty line:\n" + out);
            assertTrue(out.contains("NameError: name 'nothing' is not defined\n>>> 10\n"),
                    "an error is shown and the session goes on:\n" + out);
            new ChildJvm.Result(List.of("script"), 0, out, "").assertNoJniProblems();
        }

        private String script(Path dir) throws Exception {
            return dir.resolve("main.py").toAbsolutePath().toString();
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
