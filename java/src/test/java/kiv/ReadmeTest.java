package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;

import org.junit.jupiter.api.DynamicTest;
import org.junit.jupiter.api.TestFactory;
import org.junit.jupiter.api.io.TempDir;

/**
 * Every Python and Java block of README.md runs as written, from the checkout's root:
 * a Python block as {@code bin/kiv -c} runs it, a Java block as the body of a main method
 * below its own import lines (so a block that lacks an import fails to compile). Blocks
 * whose output the README states are checked for it.
 */
class ReadmeTest {
    private static final Path ROOT = Path.of("..").toAbsolutePath().normalize();
    private static final Pattern BLOCK = Pattern.compile("(?ms)^```(python|java)\\n(.*?)^```$");

    /** What a block (found by a line of it) prints, in this order. */
    private static final Map<String, List<String>> OUTPUTS = Map.of(
            "lst.add('x')", List.of("1 3.5 True", "Index 5 out of bounds for length 1"),
            "import java.util.concurrent", List.of("[3, 1, 2] 2 SECONDS"),
            "names += ['b', 'a']", List.of("2 a ['a', 'b'] True", "{'ann': 31} 31 False", "[1, 2, 3] 6"),
            "class ByLength:", List.of("[fig, pear, banana]"),
            "py.eval(\"x\");", List.of("4.0", "Hello, world, from Python"),
            "py.set(\"rows\"", List.of("3 8 3.0"),
            "collections.Counter", List.of("3 4 true", "b a n z"),
            "a.T @ a", List.of("[1.0, 4.0, 2.0, 5.0, 3.0, 6.0]"),
            "getEngineByName", List.of("55 110"));

    @TempDir
    Path classes;

    @TestFactory
    Stream<DynamicTest> blocksRunAsWritten() throws IOException {
        String readme = Files.readString(ROOT.resolve("README.md"), StandardCharsets.UTF_8);
        List<DynamicTest> tests = new ArrayList<>();
        List<String> matched = new ArrayList<>();
        Matcher m = BLOCK.matcher(readme);
        while (m.find()) {
            String language = m.group(1);
            String code = m.group(2);
            int line = readme.substring(0, m.start()).split("\n", -1).length;
            List<String> expected = List.of();
            for (Map.Entry<String, List<String>> e : OUTPUTS.entrySet()) {
                if (code.contains(e.getKey())) {
                    expected = e.getValue();
                    matched.add(e.getKey());
                }
            }
            List<String> output = expected;
            String name = language + " block at README.md:" + line;
            tests.add(DynamicTest.dynamicTest(name, () -> {
                ChildJvm.Result r = language.equals("python") ? runPython(code) : runJava(code, "Readme" + line);
                r.assertExit(0).assertNoJniProblems();
                assertFalse(r.stderr.contains("Traceback") || r.stderr.contains("Exception in"), r::toString);
                int at = 0;
                for (String text : output) {
                    int found = r.stdout.indexOf(text, at);
                    assertTrue(found >= 0, () -> "missing, or out of order: " + text + "\n" + r);
                    at = found + text.length();
                }
            }));
        }
        assertEquals(OUTPUTS.keySet().stream().sorted().toList(), matched.stream().sorted().toList(),
                "each stated output belongs to exactly one block");
        return tests.stream();
    }

    private static ChildJvm.Result runPython(String code) throws Exception {
        return ChildJvm.main("kiv.Main").args("-c", code).directory(ROOT).run();
    }

    /** Compiles the block as the body of main (its leading import lines above the class) and runs it. */
    private ChildJvm.Result runJava(String code, String className) throws Exception {
        StringBuilder imports = new StringBuilder();
        StringBuilder body = new StringBuilder();
        boolean head = true;
        for (String line : code.split("\n", -1)) {
            if (head && (line.startsWith("import ") || line.isBlank())) {
                imports.append(line).append('\n');
            } else {
                head = false;
                body.append("        ").append(line).append('\n');
            }
        }
        String source = imports + "public class " + className + " {\n"
                + "    public static void main(String[] args) throws Exception {\n" + body + "    }\n}\n";
        Path file = classes.resolve(className + ".java");
        Files.writeString(file, source, StandardCharsets.UTF_8);
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assertNotNull(javac, "this JVM has no compiler");
        StringWriter errors = new StringWriter();
        String classPath = System.getProperty("java.class.path");
        boolean ok = javac.getTask(errors, null, null,
                List.of("-d", classes.toString(), "-cp", classPath, "-proc:none", "-Xlint:none"), null,
                javac.getStandardFileManager(null, null, StandardCharsets.UTF_8).getJavaFileObjects(file.toFile()))
                .call();
        assertTrue(ok, () -> "does not compile:\n" + source + "\n" + errors);
        return ChildJvm.main(className).classPath(classes + File.pathSeparator + classPath).directory(ROOT).run();
    }
}
