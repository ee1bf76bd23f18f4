package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.jar.JarEntry;
import java.util.jar.JarOutputStream;

import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;

import kiv.internal.JavaPackages;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Python imports of the application's own Java classes, through the class loader of
 * each interpreter. The JDK's packages are covered by test_java_imports.py.
 */
class JavaImportsTest {
    @TempDir
    Path tmp;

    /** Compiles demo.app.Greeter and demo.app.util.Tool into a folder. */
    private Path compileDemo() throws Exception {
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assumeTrue(javac != null, "no Java compiler in this JVM");
        Path src = Files.createDirectories(tmp.resolve("src"));
        Path out = Files.createDirectories(tmp.resolve("classes"));
        Path greeter = Files.writeString(src.resolve("Greeter.java"), "package demo.app;\n"
                + "public class Greeter { public static String greet(String n) { return \"hello \" + n; }\n"
                + "  public static class Polite { public static String greet() { return \"good day\"; } } }\n");
        Path tool = Files.writeString(src.resolve("Tool.java"),
                "package demo.app.util; public class Tool { public static int twice(int x) { return 2 * x; } }\n");
        assertEquals(0, javac.run(null, null, null, "-d", out.toString(), greeter.toString(), tool.toString()));
        return out;
    }

    /** The classes in a jar that has no folder entries, as some build tools make them. */
    private Path jarWithoutFolders(Path classes) throws Exception {
        Path jar = tmp.resolve("demo.jar");
        try (JarOutputStream out = new JarOutputStream(Files.newOutputStream(jar));
                var files = Files.walk(classes)) {
            for (Path f : (Iterable<Path>) files.filter(Files::isRegularFile)::iterator) {
                out.putNextEntry(new JarEntry(classes.relativize(f).toString().replace('\\', '/')));
                Files.copy(f, out);
                out.closeEntry();
            }
        }
        return jar;
    }

    private static final String USE = String.join("\n",
            "from demo.app import Greeter",
            "from demo.app.util import Tool",
            "import demo.app",
            "result = (Greeter.greet('you'), Tool.twice(21), demo.app.Greeter.Polite.greet())",
            "");

    @Test
    void theInterpretersClassLoaderFindsTheApplicationsPackages() throws Exception {
        Path classes = compileDemo();
        for (Path where : new Path[] {classes, jarWithoutFolders(classes)}) {
            try (URLClassLoader loader = new URLClassLoader(new URL[] {where.toUri().toURL()},
                    JavaImportsTest.class.getClassLoader())) {
                assertTrue(JavaPackages.isPackage(loader, "demo"), where.toString());
                assertTrue(JavaPackages.isPackage(loader, "demo.app.util"), where.toString());
                assertFalse(JavaPackages.isPackage(loader, "demo.app.Greeter"), where.toString());
                assertFalse(JavaPackages.isPackage(loader, "demo.ap"), where.toString());
                assertFalse(JavaPackages.isPackage(null, "demo"), "not the loader of the kiv classes");

                // Each in a sub-interpreter: its own modules, so nothing is left from before.
                try (Interpreter py = new SubInterpreter(new SubInterpreterOptions(),
                        new KivConfig().setClassLoader(loader))) {
                    py.exec(USE);
                    assertEquals(java.util.List.of("hello you", 42L, "good day"), py.getValue("list(result)"));
                }
            }
        }
    }

    @Test
    void withoutTheLoaderTheNamesAreNotFound() throws Exception {
        Path classes = compileDemo();
        try (Interpreter py = new SubInterpreter()) {
            py.exec("try:\n    import demo.app\n    found = True\nexcept ImportError as e:\n    found = str(e)\n");
            assertEquals("No module named 'demo'", py.getValue("found"));
        }
        // A shared interpreter with the loader, next to one without it in the same thread.
        try (URLClassLoader loader = new URLClassLoader(new URL[] {classes.toUri().toURL()},
                JavaImportsTest.class.getClassLoader());
                Interpreter with = new SharedInterpreter(new KivConfig().setClassLoader(loader))) {
            with.exec(USE);
            assertEquals("hello you", with.getValue("result[0]"));
        } finally {
            try (Interpreter cleanup = new SharedInterpreter()) {
                cleanup.exec("import sys\nfor n in [n for n in sys.modules if n.split('.')[0] == 'demo']:\n"
                        + "    del sys.modules[n]\n");
            }
        }
    }

    /** A missing module is reported with the environment Kiv runs and how to choose another. */
    @Test
    void aMissingModuleNamesTheEnvironment() throws Exception {
        try (Interpreter py = new SharedInterpreter()) {
            String prefix = py.getValue("__import__('sys').prefix", String.class);
            KivException e = org.junit.jupiter.api.Assertions.assertThrows(KivException.class,
                    () -> py.exec("import kiv_surely_not_installed"));
            assertTrue(e.getMessage().startsWith("<class 'ModuleNotFoundError'>: No module named "
                    + "'kiv_surely_not_installed'\nKiv runs the Python environment " + prefix + " ("), e.getMessage());
            assertTrue(e.getMessage().endsWith("choose another Python with KIV_PYTHON or -Dkiv.python.executable"),
                    e.getMessage());
            e = org.junit.jupiter.api.Assertions.assertThrows(KivException.class, () -> py.exec("import json.nope"));
            assertTrue(e.getMessage().contains("Kiv runs the Python environment"), e.getMessage());
            // Other errors keep their message as it is.
            e = org.junit.jupiter.api.Assertions.assertThrows(KivException.class, () -> py.exec("raise KeyError(1)"));
            assertEquals("<class 'KeyError'>: 1", e.getMessage());
        }
        ChildJvm.Result r = ChildJvm.main("kiv.Main").args("-c", "import kiv_surely_not_installed").run().assertExit(1);
        assertTrue(r.stderr.contains("ModuleNotFoundError: No module named 'kiv_surely_not_installed'\n"
                + "Kiv runs the Python environment "), r.toString());
    }
}
