package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/**
 * Runs a main class in a new JVM (the same java, with -Xcheck:jni and this JVM's class
 * path and kiv.* settings) and captures its exit code, stdout and stderr.
 *
 * <pre>
 * ChildJvm.Result r = ChildJvm.main("kiv.Main").args("-c", "print(2)").run();
 * r.assertExit(0);
 * </pre>
 */
public final class ChildJvm {
    /** System properties handed on to the child when set here. */
    private static final List<String> INHERITED = List.of("kiv.python.executable", "kiv.python.home",
            "kiv.library.path", "kiv.test.python.dir");
    /** What -Xcheck:jni prints when native code misuses JNI. */
    private static final Pattern JNI_PROBLEMS = Pattern.compile(
            "WARNING in native method|FATAL ERROR in native method|JNI local refs: [0-9]+, exceeds capacity");

    private final String mainClass;
    private final List<String> args = new ArrayList<>();
    private final List<String> jvmOptions = new ArrayList<>();
    private final Map<String, String> environment = new LinkedHashMap<>();
    private String classPath = System.getProperty("java.class.path");
    private boolean inheritKivProperties = true;
    private String stdin;
    private Path directory;
    private Duration timeout = Duration.ofSeconds(120);

    private ChildJvm(String mainClass) {
        this.mainClass = mainClass;
    }

    public static ChildJvm main(String mainClass) {
        return new ChildJvm(mainClass);
    }

    public ChildJvm args(String... a) {
        args.addAll(Arrays.asList(a));
        return this;
    }

    /** Extra JVM options, after the defaults (so a -D here overrides an inherited one). */
    public ChildJvm jvmOptions(String... options) {
        jvmOptions.addAll(Arrays.asList(options));
        return this;
    }

    public ChildJvm classPath(String cp) {
        this.classPath = cp;
        return this;
    }

    /** Whether to pass on kiv.python.executable, kiv.library.path and the like (default true). */
    public ChildJvm inheritKivProperties(boolean inherit) {
        this.inheritKivProperties = inherit;
        return this;
    }

    /** Text for the child's standard input; without it the child reads end-of-file at once. */
    public ChildJvm stdin(String input) {
        this.stdin = input;
        return this;
    }

    public ChildJvm directory(Path dir) {
        this.directory = dir;
        return this;
    }

    public ChildJvm env(String name, String value) {
        environment.put(name, value);
        return this;
    }

    public ChildJvm timeout(Duration t) {
        this.timeout = t;
        return this;
    }

    /** The java executable of this JVM. */
    public static String javaExecutable() {
        return Path.of(System.getProperty("java.home"), "bin", "java").toString();
    }

    public List<String> command() {
        List<String> cmd = new ArrayList<>();
        cmd.add(javaExecutable());
        cmd.add("-Xcheck:jni");
        cmd.add("--enable-native-access=ALL-UNNAMED"); // else Java 24+ warns on stderr about System.load
        if (inheritKivProperties) {
            for (String p : INHERITED) {
                String v = System.getProperty(p);
                if (v != null) {
                    cmd.add("-D" + p + "=" + v);
                }
            }
        }
        cmd.addAll(jvmOptions);
        cmd.add("-cp");
        cmd.add(classPath);
        cmd.add(mainClass);
        cmd.addAll(args);
        return cmd;
    }

    public Result run() throws IOException, InterruptedException {
        Path out = Files.createTempFile("kiv-child-", ".out");
        Path err = Files.createTempFile("kiv-child-", ".err");
        try {
            ProcessBuilder pb = new ProcessBuilder(command());
            pb.redirectOutput(out.toFile()).redirectError(err.toFile());
            if (directory != null) {
                pb.directory(directory.toFile());
            }
            pb.environment().putAll(environment);
            Process p = pb.start();
            try (OutputStream in = p.getOutputStream()) {
                if (stdin != null) {
                    in.write(stdin.getBytes(StandardCharsets.UTF_8));
                }
            } catch (IOException e) {
                // the child may exit without reading its input
            }
            if (!p.waitFor(timeout.toMillis(), TimeUnit.MILLISECONDS)) {
                p.destroyForcibly().waitFor();
                fail("Child JVM timed out after " + timeout + ": " + command() + "\n--- stdout:\n" + read(out)
                        + "\n--- stderr:\n" + read(err));
            }
            return new Result(command(), p.exitValue(), withoutIgnoredSignalReports(read(out)), read(err));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    private static String read(Path p) throws IOException {
        return Files.readString(p, StandardCharsets.UTF_8);
    }

    /**
     * Whether the native library can be loaded here: an explicit kiv.library.path, or the
     * copy the build packs on the class path.
     */
    public static boolean nativeLibraryAvailable() {
        String explicit = System.getProperty(NativeLoader.LIBRARY_PATH_PROPERTY);
        if (explicit != null) {
            return Files.isRegularFile(Path.of(explicit));
        }
        return NativeLoader.class.getResource(NativeLoader.resourcePath()) != null;
    }

    /**
     * What -Xcheck:jni prints when SIGPIPE or SIGXFSZ no longer has the JVM's handler. The
     * kiv command lets Python ignore both, as python does (the JVM's handlers ignore them
     * too); the report is about that and nothing else, so it is left out of stdout.
     */
    private static final Pattern IGNORED_SIGNAL_REPORT = Pattern.compile(
            "Warning: SIG(PIPE|XFSZ) handler modified!\nSignal Handlers:\n(?:.*\n)*?Consider using jsig library\\.\n");

    static String withoutIgnoredSignalReports(String stdout) {
        return IGNORED_SIGNAL_REPORT.matcher(stdout).replaceAll("");
    }

    public static final class Result {
        public final List<String> command;
        public final int exitCode;
        public final String stdout;
        public final String stderr;

        Result(List<String> command, int exitCode, String stdout, String stderr) {
            this.command = command;
            this.exitCode = exitCode;
            this.stdout = stdout;
            this.stderr = stderr;
        }

        /** Asserts the exit code, showing the whole output when it differs. */
        public Result assertExit(int expected) {
            assertEquals(expected, exitCode, () -> "exit code of " + command + "\n" + this);
            return this;
        }

        /** Asserts that -Xcheck:jni reported nothing. */
        public Result assertNoJniProblems() {
            assertFalse(JNI_PROBLEMS.matcher(stdout).find() || JNI_PROBLEMS.matcher(stderr).find(),
                    () -> "-Xcheck:jni reported a problem:\n" + this);
            return this;
        }

        @Override
        public String toString() {
            return "--- exit code " + exitCode + "\n--- stdout:\n" + stdout + "\n--- stderr:\n" + stderr;
        }
    }
}
