package kiv;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads libkiv once per class loader, after the libpython of the Python that
 * {@link PythonRuntime} chooses. Search order for libkiv:
 * <ol>
 * <li>the file named by the system property {@code kiv.library.path}, and nothing else;</li>
 * <li>the copy packed on the class path at {@code /kiv/native/<os>-<arch>/libkiv.so},
 * extracted into a new temporary directory;</li>
 * <li>{@code System.loadLibrary("kiv")}, i.e. {@code java.library.path}.</li>
 * </ol>
 * When nothing loads, the {@link UnsatisfiedLinkError} lists every place tried and why
 * it failed.
 */
final class NativeLoader {
    static final String LIBRARY_PATH_PROPERTY = "kiv.library.path";
    private static final String NAME = "kiv";

    private static boolean loaded;
    /** Where the library came from, for diagnostics. */
    private static String loadedFrom;

    private NativeLoader() {
    }

    static synchronized void load() {
        if (loaded) {
            return;
        }
        PythonRuntime.loadLibrary();
        try {
            loadedFrom = load(System.getProperty(LIBRARY_PATH_PROPERTY), resourcePath(), NAME);
        } catch (UnsatisfiedLinkError e) {
            if (PythonRuntime.locate() == null && String.valueOf(e.getMessage()).contains("libpython")) {
                UnsatisfiedLinkError error = new UnsatisfiedLinkError(e.getMessage() + "\nNo CPython 3.12 was found "
                        + "(python3.12 on the PATH, or the one Kiv was built with): set " + PythonRuntime.ENVIRONMENT
                        + " or -D" + PythonRuntime.PROPERTY + " to a python3.12 executable.");
                error.initCause(e);
                throw error;
            }
            throw e;
        }
        loaded = true;
    }

    static synchronized String loadedFrom() {
        return loadedFrom;
    }

    /** The class-path resource of the library for this platform. */
    static String resourcePath() {
        return "/kiv/native/" + os() + "-" + arch() + "/" + System.mapLibraryName(NAME);
    }

    /**
     * Loads from the explicit file if one is given, else from the resource, else by
     * library name. Returns a description of where the library came from.
     */
    static String load(String explicitPath, String resource, String libraryName) {
        if (explicitPath != null) {
            Path file = Path.of(explicitPath).toAbsolutePath();
            if (!Files.isRegularFile(file)) {
                throw new UnsatisfiedLinkError("Cannot load the Kiv native library: " + LIBRARY_PATH_PROPERTY + "="
                        + explicitPath + " is not an existing file (" + file + ")");
            }
            try {
                System.load(file.toString());
            } catch (UnsatisfiedLinkError e) {
                UnsatisfiedLinkError error = new UnsatisfiedLinkError("Cannot load the Kiv native library from "
                        + LIBRARY_PATH_PROPERTY + "=" + explicitPath + ": " + e.getMessage());
                error.initCause(e);
                throw error;
            }
            return file.toString();
        }

        List<String> tried = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();

        if (loadResource(resource, tried, causes)) {
            return "class path resource " + resource;
        }

        try {
            System.loadLibrary(libraryName);
            return "java.library.path (" + System.mapLibraryName(libraryName) + ")";
        } catch (UnsatisfiedLinkError e) {
            tried.add("System.loadLibrary(\"" + libraryName + "\") with java.library.path="
                    + System.getProperty("java.library.path") + ": " + e.getMessage());
            causes.add(e);
        }

        StringBuilder message = new StringBuilder("Cannot load the Kiv native library. Tried:");
        for (String t : tried) {
            message.append("\n  - ").append(t);
        }
        message.append("\nSet -D").append(LIBRARY_PATH_PROPERTY).append("=/path/to/")
                .append(System.mapLibraryName(NAME)).append(" to choose a file.");
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message.toString());
        for (Throwable cause : causes) {
            error.addSuppressed(cause);
        }
        throw error;
    }

    /** Extracts the resource to a new temporary directory and loads it; false if that fails. */
    private static boolean loadResource(String resource, List<String> tried, List<Throwable> causes) {
        if (NativeLoader.class.getResource(resource) == null) {
            tried.add("class path resource " + resource + ": not found");
            return false;
        }
        Path dir = null;
        Path file = null;
        try {
            dir = Files.createTempDirectory("kiv-");
            file = dir.resolve(resource.substring(resource.lastIndexOf('/') + 1));
            try (InputStream in = NativeLoader.class.getResourceAsStream(resource)) {
                if (in == null) {
                    throw new IOException("resource vanished while reading it");
                }
                Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
            }
            System.load(file.toString());
            return true;
        } catch (IOException | UnsatisfiedLinkError e) {
            tried.add("class path resource " + resource + (file != null ? " extracted to " + file : "") + ": " + e);
            causes.add(e);
            return false;
        } finally {
            // A loaded library stays mapped after its file is gone. Deleting now rather
            // than on exit matters: a Python sys.exit ends the process through the C exit
            // routine, which runs no Java shutdown hooks, so nothing is left in the temp dir.
            deleteQuietly(file);
            deleteQuietly(dir);
        }
    }

    static String os() {
        String name = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        if (name.startsWith("linux")) {
            return "linux";
        }
        if (name.startsWith("mac") || name.startsWith("darwin")) {
            return "macos";
        }
        if (name.startsWith("windows")) {
            return "windows";
        }
        return name.replaceAll("[^a-z0-9]", "");
    }

    static String arch() {
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        switch (arch) {
            case "amd64":
            case "x86_64":
            case "x86-64":
                return "x86_64";
            case "aarch64":
            case "arm64":
                return "aarch64";
            default:
                return arch.replaceAll("[^a-z0-9_]", "");
        }
    }

    private static void deleteQuietly(Path p) {
        if (p == null) {
            return;
        }
        try {
            Files.deleteIfExists(p);
        } catch (IOException e) {
            p.toFile().deleteOnExit();
        }
    }
}
