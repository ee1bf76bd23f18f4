package kiv;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.Test;

/** The Java programs under examples/java, run from source in a child JVM as examples/java/run does. */
class ExamplesTest {

    @Test
    void numpyExampleComputesWithNumpy() throws Exception {
        Path source = Path.of("..", "examples", "java", "NumpyExample.java").toAbsolutePath().normalize();
        assertTrue(Files.isRegularFile(source), source.toString());
        ChildJvm.Result r = ChildJvm.main(source.toString()).run().assertNoJniProblems();
        r.assertExit(0);
        // the column means of the readings, and the first row scaled to Fahrenheit
        assertTrue(r.stdout.contains("mean per station: [13.049999999999999, 14.774999999999999, 9.975]"),
                r.toString());
        assertTrue(r.stdout.contains("correlation of stations (3 x 3):\n   1.000  0.989  0.979"), r.toString());
        assertTrue(r.stdout.contains("first day in Fahrenheit: 53.78 57.20 49.10"), r.toString());
    }
}
