package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** bin/setup refuses a KIV_PYTHON that is not CPython 3.12 before it builds anything. */
class SetupScriptTest {
    @TempDir
    Path tmp;

    private static String setup(String kivPython) throws Exception {
        Path script = Path.of("..", "bin", "setup").toAbsolutePath().normalize();
        assumeTrue(Files.isExecutable(script), "no bin/setup next to java/");
        ProcessBuilder pb = new ProcessBuilder(script.toString(), "--if-needed").redirectErrorStream(true);
        pb.environment().put("KIV_PYTHON", kivPython);
        Process p = pb.start();
        p.getOutputStream().close();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(60, TimeUnit.SECONDS), out);
        assertEquals(1, p.exitValue(), out);
        return out.strip();
    }

    @Test
    void kivPythonMistakesAreNamed() throws Exception {
        Path old = tmp.resolve("python3.11");
        Files.writeString(old, "#!/bin/sh\necho cpython 3.11.7\n");
        assertTrue(old.toFile().setExecutable(true));
        assertEquals("kiv setup: KIV_PYTHON=" + old + " is 3.11.7, not 3.12. Kiv needs CPython 3.12 with its "
                + "shared library.", setup(old.toString()));
        assertEquals("kiv setup: KIV_PYTHON=/bin/ls does not run as Python. Kiv needs a CPython 3.12 executable.",
                setup("/bin/ls"));
        Path missing = tmp.resolve("missing");
        assertTrue(setup(missing.toString()).startsWith("kiv setup: KIV_PYTHON=" + missing + ": no such file."));
    }
}
