package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.function.Supplier;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Running code in sub-interpreters and shared interpreters, and Python errors in Java. */
class InterpreterTest {

    static Interpreter make(String kind) {
        return kind.equals("sub") ? new SubInterpreter() : new SharedInterpreter();
    }

    @ParameterizedTest
    @ValueSource(strings = {"sub", "shared"})
    void extensionModulesImport(String kind) {
        try (Interpreter py = make(kind)) {
            py.exec("import math, array, _struct, json, _json, traceback\n"
                    + "assert math.sqrt(16) == 4.0\n"
                    + "assert array.array('i', [1, 2]).tobytes() == _struct.pack('ii', 1, 2)\n"
                    + "assert json.loads('[1]') == [1]");
        }
    }

    @Test
    void subInterpretersAreIsolatedAndRunInMain() {
        try (Interpreter a = new SubInterpreter(); Interpreter b = new SubInterpreter()) {
            a.exec("import sys\nassert __name__ == '__main__'\nsys.marker = 'a'");
            b.exec("import sys\nassert not hasattr(sys, 'marker')");
            a.exec("import _kiv\nassert _kiv.KIV_NUMPY_ENABLED == 1 and _kiv.JLONG_ID == 'j'");
        }
    }

    @Test
    void pythonErrorBecomesKivExceptionWithPythonFrames(@TempDir Path dir) throws Exception {
        Path script = dir.resolve("util.py");
        Files.writeString(script, "def inner():\n    raise ValueError('bad value')\n\ndef outer():\n    inner()\n\nouter()\n");
        try (Interpreter py = new SubInterpreter()) {
            KivException e = Py.raises(() -> py.exec("raise ValueError('bad value')"));
            assertEquals("<class 'ValueError'>: bad value", e.getMessage());
            assertNotEquals(0L, e.getPythonType());
            assertNull(e.getCause());
            assertEquals("<module>", e.getStackTrace()[0].getMethodName());
            assertEquals("<string>", e.getStackTrace()[0].getFileName());

            KivException s = Py.raises(() -> py.runScript(script.toString()));
            StackTraceElement[] st = s.getStackTrace();
            String base = script.toString().substring(0, script.toString().length() - 3);
            assertEquals(new StackTraceElement(base, "inner", "util.py", 2), st[0]);
            assertEquals(new StackTraceElement(base, "outer", "util.py", 5), st[1]);
            assertEquals(new StackTraceElement(base, "<module>", "util.py", 7), st[2]);
            assertEquals("kiv.Kiv", st[3].getClassName());
            assertEquals(e.getPythonType(), s.getPythonType(), "the same Python type both times");
            assertEquals("ValueError", s.getPythonTypeName());
            assertEquals("Traceback (most recent call last):\n"
                    + "  File \"" + script + "\", line 7, in <module>\n    outer()\n"
                    + "  File \"" + script + "\", line 5, in outer\n    inner()\n"
                    + "  File \"" + script + "\", line 2, in inner\n    raise ValueError('bad value')\n"
                    + "ValueError: bad value\n", s.getPythonTraceback());

            py.exec("import types\nmypkg = types.ModuleType('mypkg')\n"
                    + "class MyError(Exception):\n    pass\nMyError.__module__ = 'mypkg'\n"
                    + "class Local(Exception):\n    pass");
            assertEquals("mypkg.MyError", Py.raises(() -> py.exec("raise MyError(1)")).getPythonTypeName());
            assertEquals("Local", Py.raises(() -> py.exec("raise Local(1)")).getPythonTypeName());
            assertNull(new KivException("made in Java").getPythonTypeName());

            // A syntax error says where it is and shows the line.
            KivException syntax = Py.raises(() -> py.exec("x = 1\nif x\n    pass"));
            assertEquals("<class 'SyntaxError'>: expected ':' (<string>, line 2, column 5)\n    if x\n        ^",
                    syntax.getMessage());
            Path bad = dir.resolve("bad.py");
            Files.writeString(bad, "def f():\n    return = 2\n");
            KivException inFile = Py.raises(() -> py.runScript(bad.toString()));
            assertTrue(inFile.getMessage().startsWith("<class 'SyntaxError'>: invalid syntax (" + bad + ", line 2, column 12)"
                    + "\n    return = 2\n"), inFile.getMessage());
            assertTrue(Py.raises(() -> py.getValue("1 +")).getMessage().contains("(<string>, line 1"));

            // the binding stays usable after an error
            py.exec("x = 1");
        }
    }

    @Test
    void messagesTakeTheFirstArgumentAndAnyText() {
        try (Interpreter py = new SubInterpreter()) {
            assertEquals("<class 'ValueError'>: a", Py.raises(() -> py.exec("raise ValueError('a', 'b')")).getMessage());
            assertEquals("<class 'KeyError'>: k", Py.raises(() -> py.exec("{}['k']")).getMessage());
            assertEquals("<class 'ValueError'>: ", Py.raises(() -> py.exec("raise ValueError")).getMessage());
            assertEquals("<class '__main__.Custom'>: 42",
                    Py.raises(() -> py.exec("class Custom(Exception): pass\nraise Custom(42)")).getMessage());
            // Supplementary characters arrive whole and lone surrogates unchanged.
            assertEquals("<class 'ValueError'>: \uD83D\uDE00 \uDCFF \u00e9",
                    Py.raises(() -> py.exec("raise ValueError('\\U0001F600 \\udcff \\xe9')")).getMessage());
        }
    }

    @Test
    void systemExitThatDoesNotEndTheProcess() {
        try (Interpreter py = new SubInterpreter()) {
            assertEquals("<class 'SystemExit'>: bye", Py.raises(() -> py.exec("import sys\nsys.exit('bye')")).getMessage());
            KivException sub = Py.raises(() -> py.exec("class Quit(SystemExit): pass\nraise Quit(3)"));
            assertEquals("<class '__main__.Quit'>: 3", sub.getMessage());
        }
    }

    /** With the option, sys.exit reaches Java with python's status and the binding goes on. */
    @Test
    void systemExitCanReachJavaWithItsStatus() {
        try (Interpreter py = new SubInterpreter(new SubInterpreterOptions(), new KivConfig().setSystemExitThrows(true))) {
            String[][] cases = {{"sys.exit()", "0"}, {"sys.exit(None)", "0"}, {"sys.exit(3)", "3"}, {"sys.exit(True)", "1"},
                {"sys.exit('bye')", "1"}, {"raise SystemExit(256 + 7)", "263"}};
            py.exec("import sys");
            for (String[] c : cases) {
                SystemExitException e = assertThrows(SystemExitException.class, () -> py.exec(c[0]));
                assertEquals(Integer.parseInt(c[1]), e.getStatus(), c[0]);
                assertEquals("SystemExit", e.getPythonTypeName());
            }
            assertEquals("<class 'SystemExit'>: bye",
                    assertThrows(SystemExitException.class, () -> py.exec("sys.exit('bye')")).getMessage());
            // Through a Java call and back: the status is kept, the type too.
            py.set("obj", new kivtest.Fixtures.Callback(() -> {
                py.exec("sys.exit(5)");
                return "not reached";
            }));
            SystemExitException nested = assertThrows(SystemExitException.class, () -> py.exec("str(obj)"));
            assertEquals(5, nested.getStatus());
            py.exec("x = 1");
        }
    }

    @Test
    void sourceTextIsRealUtf8() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("s = '\uD83D\uDE00\u00e9\u20ac'");
            Py.check(py, "s == '\\U0001F600\\xe9\\u20ac'");
            py.exec("\u00e9t\u00e9 = 1");  // identifiers too
            Py.check(py, "\u00e9t\u00e9 == 1");
            KivException e = Py.raises(() -> py.exec("s = 'a\u0000b'"));
            assertEquals("<class 'ValueError'>: source code string cannot contain null bytes", e.getMessage());
            assertEquals(e.getMessage(), Py.raises(() -> py.compileString("x = '\u0000'")).getMessage());
            Py.check(py, "s == '\\U0001F600\\xe9\\u20ac'");  // nothing ran, nothing was cut short
        }
    }

    @Test
    void evalPrintsThroughTheDisplayHookAndExecDoesNot() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import sys, io\nsys.stdout = io.StringIO()");
            py.eval("1+1");
            py.exec("1+1");
            py.eval("None");
            py.exec("out = sys.stdout.getvalue()\nsys.stdout = sys.__stdout__");
            Py.check(py, "out == '2\\n'");
            py.eval(null);
            py.exec(null);
        }
    }

    @Test
    void compileStringTellsCompleteStatements() {
        try (Interpreter py = new SharedInterpreter()) {
            assertEquals(0, py.compileString("if x:"));
            assertEquals(1, py.compileString("x = 1"));
            Py.check(py, "'x' not in globals()");
            assertEquals(0, py.compileString("a = 1\nb = 2"));
            assertEquals(0, py.compileString("1 +"));
            assertEquals(0, py.compileString(null));
            assertEquals(1, py.compileString("for i in range(3):\n    pass\n"));
        }
    }

    @Test
    void runScriptsAndCompiledFiles(@TempDir Path dir) throws Exception {
        Path src = dir.resolve("mod.py");
        Files.writeString(src, "result = 6 * 7\n");
        Path pyc = dir.resolve("mod.pyc");
        Path upper = dir.resolve("source.PYC");
        Files.writeString(upper, "upper = True\n");
        try (Interpreter py = new SubInterpreter()) {
            py.runScript(src.toString());
            Py.check(py, "result == 42");
            py.exec("import py_compile\npy_compile.compile(" + Py.lit(src.toString()) + ", cfile=" + Py.lit(pyc.toString())
                    + ", doraise=True)\ndel result");
            py.runScript(pyc.toString());
            Py.check(py, "result == 42");
            py.runScript(upper.toString());
            Py.check(py, "upper is True");

            byte[] bytes = Files.readAllBytes(pyc);
            bytes[0] ^= 0x55;
            Path badMagic = dir.resolve("bad.pyc");
            Files.write(badMagic, bytes);
            assertEquals("<class 'RuntimeError'>: Bad magic number in .pyc file",
                    Py.raises(() -> py.runScript(badMagic.toString())).getMessage());

            Path notCode = dir.resolve("int.pyc");
            py.exec("import marshal, importlib.util\nwith open(" + Py.lit(notCode.toString()) + ", 'wb') as f:\n"
                    + "    f.write(importlib.util.MAGIC_NUMBER + bytes(12) + marshal.dumps(42))");
            assertEquals("<class 'RuntimeError'>: Bad code object in .pyc file",
                    Py.raises(() -> py.runScript(notCode.toString())).getMessage());

            Path empty = dir.resolve("empty.pyc");
            Files.write(empty, new byte[0]);
            assertEquals("<class 'RuntimeError'>: Bad magic number in .pyc file",
                    Py.raises(() -> py.runScript(empty.toString())).getMessage());

            Path missing = dir.resolve("m\u00efssing-\uD83D\uDE00.py");
            assertEquals("Couldn't open script file '" + missing + "': No such file or directory",
                    Py.raises(() -> py.runScript(missing.toString())).getMessage());
            Path unicode = dir.resolve("\u00fcber-\uD83D\uDE00.py");
            Files.write(unicode, "ok = 'yes'\n".getBytes(StandardCharsets.UTF_8));
            py.runScript(unicode.toString());
            Py.check(py, "ok == 'yes'");
            py.runScript(null);
        }
    }

    @Test
    void sharedInterpretersShareTheMainInterpreter() {
        try (Interpreter a = new SharedInterpreter(); Interpreter b = new SharedInterpreter()) {
            a.exec("import _kiv, builtins\nbuiltins.kiv_test_module_id = id(_kiv)\n"
                    + "builtins.kiv_test_cache_id = id(_kiv.__javaTypeCache__)\nmine = 1");
            b.exec("import _kiv, builtins\nassert id(_kiv) == builtins.kiv_test_module_id\n"
                    + "assert id(_kiv.__javaTypeCache__) == builtins.kiv_test_cache_id\n"
                    + "assert 'mine' not in globals()\nassert '__builtins__' in globals()\n"
                    + "assert not hasattr(_kiv, 'mainInterpreterModules')\n"
                    + "del builtins.kiv_test_module_id, builtins.kiv_test_cache_id");
        }
    }

    @Test
    void sharedInterpreterOnABaseWithAndWithoutItsGlobals() {
        try (Interpreter base = new SubInterpreter()) {
            base.exec("x = 41");
            try (Interpreter same = new SharedInterpreter(base, true);
                    Interpreter fresh = new SharedInterpreter(base, false)) {
                same.exec("x += 1");
                Py.check(base, "x == 42");
                Py.raises(() -> fresh.exec("x"));
                fresh.exec("import sys\nsys.shared_marker = 1");
                Py.check(base, "__import__('sys').shared_marker == 1");  // one interpreter, one sys
            }
        }
    }

    @Test
    void publishedMainModulesOnlyForLegacySubInterpreters() {
        MainInterpreter.sharedImport("colorsys");
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.legacy().setPublishMainModules(true))) {
            py.exec("import _kiv, sys\nassert 'colorsys' in _kiv.mainInterpreterModules\n"
                    + "assert _kiv.mainInterpreterModules is not sys.modules\n"
                    + "with _kiv.mainInterpreterModulesLock:\n    pass");
        }
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.legacy())) {
            Py.check(py, "not hasattr(__import__('_kiv'), 'mainInterpreterModules')");
        }
        assertThrows(IllegalStateException.class,
                () -> new SubInterpreter(new SubInterpreterOptions().setPublishMainModules(true)));
        KivException e = Py.raises(() -> MainInterpreter.sharedImport("no_such_module_kiv"));
        assertTrue(e.getMessage().startsWith("<class 'ModuleNotFoundError'>"), e.getMessage());
    }

    @Test
    void unsoundSubInterpreterConfigurationsAreRefused() {
        IllegalStateException ownGilMainAllocator = assertThrows(IllegalStateException.class,
                () -> new SubInterpreter(SubInterpreterOptions.legacy().setOwnGil(true)));
        assertTrue(ownGilMainAllocator.getMessage().contains("object allocator"), ownGilMainAllocator.getMessage());
        IllegalStateException singlePhase = assertThrows(IllegalStateException.class,
                () -> new SubInterpreter(new SubInterpreterOptions().setCheckMultiInterpExtensions(false)));
        assertEquals("per-interpreter obmalloc does not support single-phase init extension modules",
                singlePhase.getMessage());
        // The runtime is unharmed: the next interpreters work, with each base's own values.
        Supplier<Interpreter> sharedLockIsolated = () -> new SubInterpreter(new SubInterpreterOptions().setOwnGil(false));
        try (Interpreter py = sharedLockIsolated.get(); Interpreter legacy = new SubInterpreter(SubInterpreterOptions.legacy())) {
            py.exec("import threading\nt = threading.Thread(target=lambda: None)\nt.start()\nt.join()");
            Py.raises(() -> py.exec("import threading\nthreading.Thread(target=lambda: None, daemon=True).start()"));
            legacy.exec("import threading\nt = threading.Thread(target=lambda: None, daemon=True)\nt.start()\nt.join()");
        }
    }
}
