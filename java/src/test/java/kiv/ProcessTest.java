package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/** Behaviour that needs a JVM of its own: start-up configuration and ending the process. */
class ProcessTest {

    private static ChildJvm.Result probe(String... args) throws Exception {
        return ChildJvm.main("kiv.ProcessProbe").args(args).run().assertNoJniProblems();
    }

    @Test
    void startUpValuesAreApplied() throws Exception {
        ChildJvm.Result r = probe("configured");
        r.assertExit(0);
        assertTrue(r.stdout.contains("configured ok"), r.toString());
    }

    @Test
    void defaultsComeFromTheIsolatedConfigurationAndSeeTheVenv() throws Exception {
        ChildJvm.Result r = probe("defaults");
        r.assertExit(0);
        assertTrue(r.stdout.contains("defaults ok"), r.toString());
    }

    @Test
    void aNullArgumentRefusesStartUpAndAFixedConfigurationStarts() throws Exception {
        ChildJvm.Result r = probe("null-argv");
        r.assertExit(0);
        assertTrue(r.stdout.contains("refused: Received null argv."), r.toString());
        assertTrue(r.stdout.contains("retry ok"), r.toString());
    }

    @Test
    void systemExitEndsTheProcessWithItsStatusAfterFlushing() throws Exception {
        ChildJvm.Result three = probe("exit", "3");
        three.assertExit(3);
        assertTrue(three.stdout.startsWith("before exit"), three.toString());
        assertFalse(three.stdout.contains("not reached"), three.toString());

        probe("exit", "").assertExit(0);
        probe("exit", "None").assertExit(0);
        probe("exit", "True").assertExit(1);
    }

    @Test
    void aFailedStartInsideCPythonIsNotRetried() throws Exception {
        ChildJvm.Result r = probe("bad-home");
        r.assertExit(0);
        String[] lines = r.stdout.strip().split("\n");
        assertEquals(2, lines.length, r.toString());
        assertTrue(lines[0].startsWith("refused: "), r.toString());
        assertTrue(lines[1].startsWith("refused: Python failed to start earlier in this process ("), r.toString());
        assertTrue(lines[1].endsWith("); its start-up cannot be tried again in this process"), r.toString());
    }

    /** pytest enables faulthandler; Java's NullPointerExceptions in compiled code must still work. */
    @Test
    void faulthandlerLeavesTheJvmItsSignals() throws Exception {
        ChildJvm.Result r = probe("faulthandler");
        r.assertExit(0);
        assertTrue(r.stdout.contains("1 passed"), r.toString());
        assertTrue(r.stdout.contains("pytest 0\n"), r.toString());
        assertTrue(r.stdout.contains("sub-interpreter 499500\n"), r.toString());
    }

    @Test
    void errorsOnTheirWayToJavaPrintNothing() throws Exception {
        ChildJvm.Result r = probe("quiet-errors");
        r.assertExit(0);
        assertEquals("", r.stdout, r.toString());
        String[] lines = r.stderr.strip().split("\n");
        assertEquals(2, lines.length, r.toString());
        assertTrue(lines[0].startsWith("RecursionError "), r.toString());
        assertTrue(Integer.parseInt(lines[0].substring("RecursionError ".length())) < 300, r.toString());
        assertTrue(lines[1].startsWith("RuntimeError "), r.toString());
    }

    @Test
    void evalFlushesPythonOutputWhenStdoutIsAPipe() throws Exception {
        ChildJvm.Result r = probe("eval-output");
        r.assertExit(0);
        assertEquals("from exec\n42\n", r.stdout);
    }

    @Test
    void threadsThatCalledProxiesEndQuietly() throws Exception {
        ChildJvm.Result r = probe("proxy-threads-end");
        r.assertExit(0);
        assertEquals("shared 42\nsub 42\nthreads ended\n", r.stdout, r.toString());
    }
}
