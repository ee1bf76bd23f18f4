package kiv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import kivtest.ContainerFixture;

/** Java containers handed to Python and back: the values both sides see. */
class ContainersTest {

    @Test
    void javaCollectionsWorkWithPythonBuiltins() {
        try (Interpreter py = new SubInterpreter()) {
            py.set("rows", List.of(1, 2, 3));
            assertEquals(3L, py.getValue("len(rows)", Long.class));
            assertEquals(6L, py.getValue("sum(rows)", Long.class));
            assertEquals(List.of(3L, 2L, 1L), py.getValue("sorted(rows, reverse=True)"));
            Map<String, Integer> scores = new HashMap<>(Map.of("a", 1, "b", 2));
            py.set("scores", scores);
            py.exec("scores['c'] = 3\ndel scores['a']");
            assertEquals(Map.of("b", 2, "c", 3L), scores);
            assertEquals(Map.of("b", 2L, "c", 3L), py.getValue("dict(scores)"));
        }
    }

    @Test
    void keywordMapsArriveAsKeywordsWhateverTheirMethods() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def f(*args, **kw):\n    return sorted(kw.items())");
            ContainerFixture.ShadowingMap kw = new ContainerFixture.ShadowingMap();
            kw.put("x", 1);
            kw.put("y", "two");
            assertEquals(List.of(List.of("x", 1L), List.of("y", "two")), py.invoke("f", new Object[0], kw));
            assertEquals(List.of(), py.invoke("f", new Object[0], new HashMap<String, Object>()));
        }
    }

    @Test
    void arraysFilledInPythonReachJava() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import _kiv\na = _kiv.jarray(3, 'i')\na[0:3] = [3, 1, 2]\n"
                    + "b = _kiv.jarray(2, 'd', 0.5)");
            int[] a = py.getValue("a", int[].class);
            assertArrayEquals(new int[] {3, 1, 2}, a);
            assertSame(a, py.getValue("a", int[].class), "the wrapper's own Java array");
            assertArrayEquals(new double[] {0.5, 0.5}, py.getValue("b", double[].class));
            py.set("words", new String[] {"x", null});
            assertEquals(List.of("x", "None"), py.getValue("[str(w) for w in words]"));
        }
    }

    @Test
    void pythonWritesToADirectBufferInPlace() {
        try (Interpreter py = new SharedInterpreter()) {
            ByteBuffer buffer = ByteBuffer.allocateDirect(8);
            py.set("buffer", buffer);
            py.exec("with memoryview(buffer) as m:\n    m[3] = 7\n    m[7] = -1");
            assertEquals(7, buffer.get(3));
            assertEquals(-1, buffer.get(7));
            ArrayList<Object> list = new ArrayList<>(List.of("a"));
            py.set("lst", list);
            py.exec("lst += ['b']\nlst[0] = 'z'");
            assertEquals(List.of("z", "b"), list);
        }
    }

    /**
     * A file mapped read-only has pages the process cannot write: a writable view of it
     * would end the JVM on the first write.  Run in a child JVM for that reason.
     */
    @Test
    void readOnlyMappedFilesGiveReadOnlyViews(@TempDir Path dir) throws Exception {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        Path file = dir.resolve("data.bin");
        Files.write(file, new byte[] {1, 2, 3, 4});
        String code = String.join("\n",
                "import _kiv",
                "Paths = _kiv.findClass('java.nio.file.Paths')",
                "FileChannel = _kiv.findClass('java.nio.channels.FileChannel')",
                "MapMode = _kiv.forName('java.nio.channels.FileChannel$MapMode')",
                "Option = _kiv.findClass('java.nio.file.StandardOpenOption')",
                "String = _kiv.findClass('java.lang.String')",
                "channel = FileChannel.open(Paths.get(" + Py.lit(file.toString()) + ", _kiv.jarray(0, String)),"
                        + " [Option.READ])",
                "mapped = channel.map(MapMode.READ_ONLY, 0, 4)",
                "m = memoryview(mapped)",
                "print('readonly', m.readonly, list(m))",
                "try:",
                "    m[0] = 9",
                "except TypeError as e:",
                "    print('refused', e)",
                "channel.close()");
        ChildJvm.Result r = ChildJvm.main("kiv.Main").args("-c", code).run();
        r.assertExit(0).assertNoJniProblems();
        assertTrue(r.stdout.contains("readonly True [1, 2, 3, 4]"), r.toString());
        assertTrue(r.stdout.contains("refused cannot modify read-only memory"), r.toString());
    }
}
