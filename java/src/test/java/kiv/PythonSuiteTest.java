package kiv;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;

import org.junit.jupiter.api.DynamicTest;
import org.junit.jupiter.api.TestFactory;

/**
 * Runs every src/test/python/test_*.py with unittest inside an embedded interpreter.
 * A file runs in a fresh shared interpreter (the main interpreter, where NumPy works),
 * or in a fresh isolated sub-interpreter when its first line is
 * {@code # kiv: subinterpreter}.
 */
class PythonSuiteTest {

    private static final String RUNNER = String.join("\n",
            "def kiv_run_unittest_file(path):",
            "    import importlib.util, io, os, sys, unittest",
            "    name = os.path.splitext(os.path.basename(path))[0]",
            "    spec = importlib.util.spec_from_file_location(name, path)",
            "    module = importlib.util.module_from_spec(spec)",
            "    sys.modules[name] = module",
            "    try:",
            "        spec.loader.exec_module(module)",
            "        suite = unittest.TestLoader().loadTestsFromModule(module)",
            "        out = io.StringIO()",
            "        result = unittest.TextTestRunner(stream=out, verbosity=2).run(suite)",
            "    finally:",
            "        del sys.modules[name]",
            "    if result.testsRun == 0:",
            "        raise AssertionError(path + ' ran no tests')",
            "    if not result.wasSuccessful():",
            "        raise AssertionError('\\n' + out.getvalue())",
            "");

    static Path pythonTestDir() {
        String dir = System.getProperty("kiv.test.python.dir");
        return dir != null ? Path.of(dir) : Path.of("src", "test", "python");
    }

    @TestFactory
    Stream<DynamicTest> pythonSuites() throws IOException {
        return Files.list(pythonTestDir())
                .filter(p -> p.getFileName().toString().matches("test_.*\\.py"))
                .sorted()
                .map(p -> DynamicTest.dynamicTest(p.getFileName().toString(), p.toUri(), () -> runFile(p)));
    }

    private static void runFile(Path file) throws IOException {
        String first = Files.readAllLines(file).stream().findFirst().orElse("");
        boolean sub = first.trim().equals("# kiv: subinterpreter");
        try (Interpreter py = sub ? new SubInterpreter() : new SharedInterpreter()) {
            py.exec(RUNNER + "\nimport sys\nsys.path.insert(0, " + Py.lit(file.getParent().toString()) + ")\n"
                    + "kiv_run_unittest_file(" + Py.lit(file.toString()) + ")");
        }
    }
}
