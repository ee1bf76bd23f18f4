package kiv;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;

/**
 * The Maven project under examples/java, built and run as its pom says, against the jar
 * of this build installed as dev.kiv:kiv.
 * <p>
 * The jar goes into a local repository of the test's own (java/target/examples-repo), so
 * that the user's ~/.m2 keeps whatever dev.kiv:kiv it has: every other entry of that
 * repository is a link to the user's, so plugins and libraries come from there (or from
 * Maven Central, into the user's repository, as for any build).
 */
class ExamplesTest {
    private static final Path ROOT = Path.of("..").toAbsolutePath().normalize();

    @Test
    void theExamplesProjectBuildsAndRuns() throws Exception {
        Path jar = Path.of(System.getProperty("kiv.test.jar", "missing"));
        assumeTrue(Files.isRegularFile(jar), "the kiv jar is not built (bin/setup builds it): " + jar);
        String m2 = System.getProperty("kiv.test.m2");
        assumeTrue(m2 != null && Files.isDirectory(Path.of(m2)), "no local Maven repository");
        Path repo = ROOT.resolve("java/target/examples-repo");
        linkRepository(Path.of(m2), repo, List.of("dev", "kiv", "kiv"));

        maven(repo, "install:install-file", "-Dfile=" + jar, "-DpomFile=" + ROOT.resolve("java/pom.xml"));

        List<String> jvmArgs = new ArrayList<>(List.of("-Xcheck:jni"));
        String library = System.getProperty("kiv.library.path");
        if (library != null) {
            jvmArgs.add("-Dkiv.library.path=" + library);
        }
        ChildJvm.Result r = maven(repo, "-f", ROOT.resolve("examples/java/pom.xml").toString(), "compile", "exec:exec",
                "-Dkiv.python=" + System.getProperty("kiv.python.executable"),
                "-Dexamples.jvmArgs=" + String.join(" ", jvmArgs));
        r.assertNoJniProblems();
        String out = r.stdout;
        // NumPy: the column means and the first row scaled to Fahrenheit in Java's direct buffer
        expect(r, "mean per station: [13.049999999999999, 14.774999999999999, 9.975]");
        expect(r, "correlation of stations (3 x 3):\n   1.000  0.989  0.979");
        expect(r, "first day in Fahrenheit: 53.78 57.20 49.10");
        // keyword arguments through invoke, PyCallable and a standard library function
        expect(r, "== keywords\nHello, Ada!\nGoodbye, Ada! Goodbye, Ada!\nHELLO, GRACE!\n"
                + "[Keyword arguments, travel from Java ...]\n"
                + "refused: <class 'TypeError'>: label() got an unexpected keyword argument 'colour'");
        // the Python frames at the top of the KivException's stack trace
        expect(r, "failed: <class 'ValueError'>: invalid literal for int() with base 10: 'one'\n"
                + "Python traceback, innermost call first:\n"
                + "  orders.py, line 5, in parse_quantity\n"
                + "  orders.py, line 10, in line_total\n");
        // one isolated sub-interpreter per pool thread, all closed
        expect(r, "primes below 100000: 9592, counted in 10 chunks\n"
                + "4 worker threads, each with a sub-interpreter of its own, closed on that thread");
        assertTrue(out.indexOf("== numpy") < out.indexOf("== pool"), out);
    }

    private static void expect(ChildJvm.Result r, String text) {
        assertTrue(r.stdout.contains(text), () -> "missing:\n" + text + "\n" + r);
    }

    /**
     * Makes {@code repo} a view of {@code m2} in which the folder at {@code own} (the
     * artifact's group and name) is a real one: every other entry on the way is a link.
     */
    private static void linkRepository(Path m2, Path repo, List<String> own) throws IOException {
        Files.createDirectories(repo);
        if (own.isEmpty()) {
            return;
        }
        if (Files.isDirectory(m2)) {
            try (Stream<Path> entries = Files.list(m2)) {
                for (Path entry : (Iterable<Path>) entries::iterator) {
                    String name = entry.getFileName().toString();
                    Path link = repo.resolve(name);
                    if (!name.equals(own.get(0)) && !Files.exists(link, LinkOption.NOFOLLOW_LINKS)) {
                        Files.createSymbolicLink(link, entry);
                    }
                }
            }
        }
        linkRepository(m2.resolve(own.get(0)), repo.resolve(own.get(0)), own.subList(1, own.size()));
    }

    /** Runs Maven in batch mode with the given local repository; a failure shows its output. */
    private static ChildJvm.Result maven(Path repo, String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of(System.getProperty("kiv.test.mvn", "mvn"), "-B", "-q",
                "-Dmaven.repo.local=" + repo));
        cmd.addAll(List.of(args));
        Path out = Files.createTempFile("kiv-mvn-", ".out");
        try {
            Process p = new ProcessBuilder(cmd).directory(ROOT.toFile()).redirectErrorStream(true)
                    .redirectOutput(out.toFile()).start();
            p.getOutputStream().close();
            if (!p.waitFor(5, TimeUnit.MINUTES)) {
                p.destroyForcibly().waitFor();
                fail("timed out: " + cmd + "\n" + Files.readString(out, StandardCharsets.UTF_8));
            }
            ChildJvm.Result r = new ChildJvm.Result(cmd, p.exitValue(), Files.readString(out, StandardCharsets.UTF_8),
                    "(with stdout)");
            return r.assertExit(0);
        } finally {
            Files.deleteIfExists(out);
        }
    }
}
