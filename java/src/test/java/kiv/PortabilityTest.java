package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * One build serves any CPython 3.12: the native library names libpython without a
 * folder, and the Python is chosen when the library loads. Mistakes in that choice are
 * refused with messages that say what was found.
 */
class PortabilityTest {
    @TempDir
    Path tmp;

    private String buildPythonHome;

    @BeforeEach
    void needsTheBuild() {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        buildPythonHome = BuildInfo.pythonHome();
        assumeTrue(buildPythonHome != null && Files.isDirectory(Path.of(buildPythonHome)), "no build Python");
    }

    /** Without its Python loaded first, the library does not load: no folder is built in. */
    @Test
    void theLibraryNamesNoFolderOfTheBuildMachine() throws Exception {
        ChildJvm.Result r = ChildJvm.main("kiv.PortabilityTest$LoadAlone").run().assertExit(0);
        assertTrue(r.stdout.contains("libpython3.12.so.1.0"), r.toString());
    }

    /** Loads libkiv without choosing a Python; prints the linker's complaint. */
    public static final class LoadAlone {
        public static void main(String[] args) {
            String explicit = System.getProperty(NativeLoader.LIBRARY_PATH_PROPERTY);
            try {
                NativeLoader.load(explicit, NativeLoader.resourcePath(), "kiv-no-such-library-here");
                System.out.println("loaded");
            } catch (UnsatisfiedLinkError e) {
                System.out.println(e.getMessage());
            }
        }
    }

    /**
     * A Python 3.12 installation in another folder (its library copied, its standard
     * library shared) and a virtual environment made from it elsewhere: Kiv runs that
     * Python, with that library, and the environment's packages.
     */
    @Test
    void anotherInstallationAndItsVirtualEnvironment() throws Exception {
        Path home = Path.of(buildPythonHome);
        Path prefix = tmp.resolve("other-python");
        Files.createDirectories(prefix.resolve("bin"));
        Files.createDirectories(prefix.resolve("lib"));
        Files.copy(home.resolve("bin/python3.12"), prefix.resolve("bin/python3.12"));
        Path library = prefix.resolve("lib/libpython3.12.so.1.0");
        try {
            Files.createLink(library, home.resolve("lib/libpython3.12.so.1.0").toRealPath());
        } catch (IOException | UnsupportedOperationException e) {
            Files.copy(home.resolve("lib/libpython3.12.so.1.0"), library);
        }
        Files.createSymbolicLink(prefix.resolve("lib/python3.12"), home.resolve("lib/python3.12"));

        Path venv = tmp.resolve("somewhere/else/venv");
        run(prefix.resolve("bin/python3.12").toString(), "-m", "venv", "--without-pip", venv.toString());
        Path sitePackages = venv.resolve("lib/python3.12/site-packages");
        Files.writeString(sitePackages.resolve("only_in_that_env.py"), "WHERE = 'venv'\n");

        ChildJvm.Result r = ChildJvm.main("kiv.Main")
                .jvmOptions("-D" + PythonRuntime.PROPERTY + "=" + venv.resolve("bin/python3.12"))
                .args("-c", String.join("\n",
                        "import sys, only_in_that_env",
                        "maps = open('/proc/self/maps').read()",
                        "print(sys.prefix)",
                        "print(sys.base_prefix)",
                        "print(only_in_that_env.WHERE)",
                        "print(" + PythonLiterals.string(library.toString()) + " in maps)",
                        "print(" + PythonLiterals.string(home.resolve("lib/libpython3.12.so.1.0").toString())
                                + " in maps)",
                        ""))
                .run().assertExit(0).assertNoJniProblems();
        assertEquals(String.join("\n", venv.toString(), prefix.toString(), "venv", "True", "False", ""), r.stdout);
    }

    private static void run(String... command) throws Exception {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes());
        assertTrue(p.waitFor(120, TimeUnit.SECONDS));
        assertEquals(0, p.exitValue(), out);
    }

    @Test
    void aPythonThatIsNotUsableIsRefusedWithWhatWasFound() throws Exception {
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> PythonRuntime.locate("/bin/ls", null, null, null));
        assertTrue(e.getMessage().startsWith("-Dkiv.python.executable=/bin/ls is not a Python interpreter"),
                e.getMessage());
        e = assertThrows(IllegalStateException.class,
                () -> PythonRuntime.locate(null, tmp.resolve("missing").toString(), null, null));
        assertTrue(e.getMessage().startsWith("KIV_PYTHON=" + tmp.resolve("missing") + ": no such file"),
                e.getMessage());

        // Another minor version: a script that answers as Python 3.11 would.
        Path fake = tmp.resolve("python3.11");
        Files.writeString(fake, "#!/bin/sh\nprintf 'cpython\\n3.11\\n3.11.7\\n/x/python3.11\\n/x\\n/x/lib/libpython3.11.so\\n1\\n'\n");
        assertTrue(fake.toFile().setExecutable(true));
        e = assertThrows(IllegalStateException.class, () -> PythonRuntime.locate(null, fake.toString(), null, null));
        assertTrue(e.getMessage().startsWith("KIV_PYTHON=" + fake + " is Python 3.11.7. Kiv needs CPython 3.12"),
                e.getMessage());
        // The user's choice is never replaced by another Python.
        String good = BuildInfo.pythonExecutable();
        assertThrows(IllegalStateException.class, () -> PythonRuntime.locate(fake.toString(), null, good, good));

        // Without a choice, an unusable candidate is passed over.
        PythonRuntime.Found found = PythonRuntime.locate(null, null, fake.toString(), good);
        assertEquals("the Python Kiv was built with", found.source);
        assertTrue(found.version.startsWith("3.12."), found.version);
        assertNull(PythonRuntime.locate(null, "", null, tmp.resolve("missing").toString()));

        // From the command line, the message and status 1.
        ChildJvm.Result r = ChildJvm.main("kiv.Main").jvmOptions("-D" + PythonRuntime.PROPERTY + "=/bin/ls")
                .args("-c", "print(1)").run().assertExit(1);
        assertTrue(r.stderr.startsWith("kiv: -Dkiv.python.executable=/bin/ls is not a Python interpreter"), r.toString());
        assertFalse(r.stdout.contains("1"), r.toString());
    }
}
