package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.jar.JarEntry;
import java.util.jar.JarOutputStream;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class NativeLoaderTest {

    @Test
    void platformDirectoryIsNormalised() {
        String resource = NativeLoader.resourcePath();
        assertTrue(resource.matches("/kiv/native/(linux|macos|windows)-(x86_64|aarch64)/[^/]+"), resource);
        if (System.getProperty("os.name").startsWith("Linux") && System.getProperty("os.arch").equals("amd64")) {
            assertEquals("/kiv/native/linux-x86_64/libkiv.so", resource);
        }
    }

    @Test
    void failureListsEveryPlaceTried() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLoader.load(null, "/kiv/native/nowhere/libkiv.so", "kiv-no-such-library"));
        String m = e.getMessage();
        assertTrue(m.contains("/kiv/native/nowhere/libkiv.so: not found"), m);
        assertTrue(m.contains("System.loadLibrary(\"kiv-no-such-library\")"), m);
        assertTrue(m.contains("kiv.library.path"), "the message says how to choose a file: " + m);
    }

    @Test
    void aResourceThatFailsToLoadIsReportedAndItsCopyRemoved() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLoader.load(null, "/kiv/native-test/libbroken.so", "kiv-no-such-library"));
        String m = e.getMessage();
        Matcher copy = Pattern.compile("extracted to (\\S+/libbroken\\.so)").matcher(m);
        assertTrue(copy.find(), m);
        Path file = Path.of(copy.group(1));
        assertFalse(Files.exists(file), "the extracted copy is deleted");
        assertFalse(Files.exists(file.getParent()), "and so is its directory");
        assertTrue(m.contains("System.loadLibrary"), "it goes on to the library path: " + m);
    }

    @Test
    void explicitPathIsTheOnlyPlaceTried(@TempDir Path tmp) throws Exception {
        Path missing = tmp.resolve("no-such-dir/libkiv.so");
        ChildJvm.Result r = ChildJvm.main("kiv.LoaderProbe")
                .jvmOptions("-Dkiv.library.path=" + missing).run();
        r.assertExit(3);
        assertTrue(r.stderr.contains(missing.toString()), r.toString());
        assertFalse(r.stderr.contains("loadLibrary"), "nothing else is tried:\n" + r);

        Path notALibrary = Files.writeString(tmp.resolve("libkiv.so"), "text");
        r = ChildJvm.main("kiv.LoaderProbe").jvmOptions("-Dkiv.library.path=" + notALibrary).run();
        r.assertExit(3);
        assertTrue(r.stderr.contains(notALibrary.toString()), r.toString());
    }

    /** The packaged library is extracted from a jar, loaded, and its copy removed. */
    @Test
    void loadsTheLibraryPackedInAJar(@TempDir Path tmp) throws Exception {
        assumeTrue(NativeLoader.class.getResource(NativeLoader.resourcePath()) != null,
                "the native library was not packaged (built with -Dkiv.skipNative)");
        Path classes = Path.of(NativeLoader.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        Path jar = tmp.resolve("kiv.jar");
        writeJar(classes, jar);
        Path testClasses = Path.of(LoaderProbe.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        Path tmpdir = Files.createDirectory(tmp.resolve("tmpdir"));

        ChildJvm.Result r = ChildJvm.main("kiv.LoaderProbe")
                .inheritKivProperties(false)
                .classPath(jar + java.io.File.pathSeparator + testClasses)
                .jvmOptions("-Djava.io.tmpdir=" + tmpdir)
                .run();
        r.assertExit(0).assertNoJniProblems();
        assertTrue(r.stdout.contains("loaded from class path resource " + NativeLoader.resourcePath()), r.toString());
        try (Stream<Path> left = Files.list(tmpdir)) {
            List<Path> kivDirs = left.filter(p -> p.getFileName().toString().startsWith("kiv-")).toList();
            assertEquals(List.of(), kivDirs, "the extracted copy is not left behind");
        }
    }

    private static void writeJar(Path classes, Path jar) throws IOException {
        try (JarOutputStream out = new JarOutputStream(Files.newOutputStream(jar));
                Stream<Path> files = Files.walk(classes)) {
            for (Path p : (Iterable<Path>) files.filter(Files::isRegularFile)::iterator) {
                out.putNextEntry(new JarEntry(classes.relativize(p).toString().replace('\\', '/')));
                Files.copy(p, (OutputStream) out);
                out.closeEntry();
            }
        }
    }
}
