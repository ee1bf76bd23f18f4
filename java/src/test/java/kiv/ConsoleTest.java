package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The kiv console at a terminal: a child JVM on a pseudo-terminal, driven by
 * pty_session.py (run by the test's python3.12) as a person would type.
 */
class ConsoleTest {
    private static final String UP = "\u001bOA"; // the arrow keys of an xterm in keypad mode
    private static final String RIGHT = "\u001bOC";

    @TempDir
    Path tmp;

    @BeforeEach
    void needsPythonAndLibrary() {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
    }

    /** A session's output and how it ended. */
    record Session(Integer status, String failedStep, String transcript) {
        Session assertOk() {
            assertEquals("", failedStep, () -> "a step timed out:\n" + this);
            new ChildJvm.Result(List.of("console"), 0, transcript, "").assertNoJniProblems();
            return this;
        }

        /** The transcript without terminal escape sequences and carriage returns. */
        String text() {
            return transcript.replaceAll("\u001b\\[[0-9;?]*[A-Za-z]", "").replaceAll("\u001b[=>]", "")
                    .replace("\r", "");
        }

        @Override
        public String toString() {
            return "status " + status + ", failed step " + failedStep + "\n--- transcript:\n" + text();
        }
    }

    /** Steps as pty_session.py takes them. */
    static final class Steps {
        final List<String[]> steps = new ArrayList<>();

        Steps send(String text) {
            steps.add(new String[] {"send", text});
            return this;
        }

        Steps line(String text) {
            return send(text + "\r");
        }

        Steps expect(String regex) {
            steps.add(new String[] {"expect", regex});
            return this;
        }

        Steps sleep(double seconds) {
            steps.add(new String[] {"sleep", Double.toString(seconds)});
            return this;
        }
    }

    private Session run(Steps steps, Map<String, String> env) throws Exception {
        return run(steps, env, ChildJvm.main("kiv.Main"));
    }

    private Session run(Steps steps, Map<String, String> env, ChildJvm jvm) throws Exception {
        String python = System.getProperty("kiv.python.executable");
        assumeTrue(python != null && Files.isExecutable(Path.of(python)), "no python3.12 to drive the terminal");
        Path driver = Path.of(ConsoleTest.class.getResource("pty_session.py").toURI());
        StringBuilder json = new StringBuilder("{\"timeout\": 20, \"command\": [");
        List<String> command = jvm.command();
        for (int i = 0; i < command.size(); i++) {
            json.append(i > 0 ? ", " : "").append(jsonString(command.get(i)));
        }
        json.append("], \"env\": {");
        boolean first = true;
        for (Map.Entry<String, String> e : env.entrySet()) {
            json.append(first ? "" : ", ").append(jsonString(e.getKey())).append(": ").append(jsonString(e.getValue()));
            first = false;
        }
        json.append("}, \"steps\": [");
        for (int i = 0; i < steps.steps.size(); i++) {
            String[] s = steps.steps.get(i);
            json.append(i > 0 ? ", " : "").append('[').append(jsonString(s[0])).append(", ").append(jsonString(s[1]))
                    .append(']');
        }
        json.append("]}");
        Process p = new ProcessBuilder(python, driver.toString()).redirectErrorStream(true).start();
        try (OutputStream in = p.getOutputStream()) {
            in.write(json.toString().getBytes(StandardCharsets.UTF_8));
        }
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), out);
        assertEquals(0, p.exitValue(), out);
        String[] head = out.split("\n", 3);
        assertTrue(head.length == 3 && head[0].startsWith("status=") && head[1].startsWith("failed="), out);
        String status = head[0].substring("status=".length());
        return new Session(status.equals("None") ? null : Integer.valueOf(status), head[1].substring("failed=".length()),
                head[2]);
    }

    private static String jsonString(String s) {
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            if (c == '"' || c == '\\') {
                b.append('\\').append(c);
            } else if (c < 0x20) {
                b.append(String.format("\\u%04x", (int) c));
            } else {
                b.append(c);
            }
        }
        return b.append('"').toString();
    }

    /**
     * One session of everyday use, then a second that recalls the first one's history:
     * editing, completion, blocks, errors, Ctrl-C in running code and at the prompt, and
     * Ctrl-D.
     */
    @Test
    void aSessionAtTheTerminal() throws Exception {
        Path history = tmp.resolve("history");
        Map<String, String> env = Map.of("KIV_HISTORY", history.toString(), "TERM", "xterm");
        Steps steps = new Steps()
                .expect("Python 3\\.12\\.\\d+ on Kiv \\S+, Java \\S+").expect(">>> ")
                // An edited line: the missing letter goes in after moving the cursor.
                .send("pint(40 + 2)").send("\u0001" + RIGHT + "r").line("").expect("[^0-9]42\\r?\\n").expect(">>> ")
                // Completion of an attribute, then of a function name through a module path.
                .line("import os").expect(">>> ")
                .send("os.pat").send("\t").send(".jo").send("\t").line("'a', 'b')").expect("a/b").expect(">>> ")
                // A block: '...' until the empty line, as python decides.
                .line("def twice(x):").expect("\\.\\.\\. ").line("    return x * 2").expect("\\.\\.\\. ").line("")
                .expect(">>> ").line("twice(21.5)").expect("43\\.0").expect(">>> ")
                // An error: the traceback names the place.
                .line("twice(None)").expect("File \"<stdin>\", line 2, in twice")
                .expect("TypeError: unsupported operand").expect(">>> ")
                // Ctrl-C in running code, then at the prompt with a half-typed line.
                .line("while True: pass").expect("\\.\\.\\. ").line("").sleep(0.5).send("\u0003")
                .expect("KeyboardInterrupt").expect(">>> ")
                .send("1 +").send("\u0003").expect("KeyboardInterrupt").expect(">>> ")
                .line("print('still', 'here')").expect("still here").expect(">>> ")
                .send("\u0004");
        Session s = run(steps, env).assertOk();
        assertEquals(Integer.valueOf(0), s.status(), s::toString);
        String text = s.text();
        assertTrue(text.contains("Traceback (most recent call last):\n  File \"<stdin>\", line 1, in <module>\n"
                + "  File \"<stdin>\", line 2, in twice\n"), text);
        assertFalse(text.contains("Exception in thread"), text);

        // History survives the run: Up recalls the last line of the first session.
        String kept = Files.readString(history);
        assertTrue(kept.contains("print('still', 'here')") && kept.contains(":    return x * 2"), kept);
        s = run(new Steps().expect(">>> ").send(UP).line("").expect("still here").expect(">>> ")
                .line("import sys; sys.exit(7)"), env).assertOk();
        assertEquals(Integer.valueOf(7), s.status(), s::toString);
    }

    /**
     * As bin/kiv runs it, Python has SIGINT: Ctrl-C interrupts a sleep at once, and at the
     * prompt it still reaches the line editor.
     */
    @Test
    void ctrlCWhenPythonOwnsSigint() throws Exception {
        Steps steps = new Steps().expect(">>> ")
                .line("import signal; signal.getsignal(signal.SIGINT) is signal.default_int_handler").expect("True")
                .expect(">>> ")
                .line("import time; time.sleep(30)").sleep(0.5).send("\u0003").expect("KeyboardInterrupt").expect(">>> ")
                .send("1 +").send("\u0003").expect("KeyboardInterrupt").expect(">>> ")
                .line("print('still', 'here')").expect("still here").expect(">>> ")
                .send("\u0004");
        long start = System.nanoTime();
        Session s = run(steps, Map.of("KIV_HISTORY", "", "TERM", "xterm"), ChildJvm.main("kiv.Main").jvmOptions("-Xrs"))
                .assertOk();
        assertEquals(Integer.valueOf(0), s.status(), s::toString);
        assertTrue(System.nanoTime() - start < 25_000_000_000L, "the sleep was interrupted");
        assertTrue(s.text().contains("time.sleep(30)\nKeyboardInterrupt") || s.text().contains("in <module>"), s::toString);
    }
}
