package kiv.internal;

import java.io.File;
import java.io.IOException;
import java.lang.module.ModuleDescriptor;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Collections;
import java.util.Enumeration;
import java.util.HashSet;
import java.util.Map;
import java.util.Set;
import java.util.WeakHashMap;
import java.util.concurrent.ConcurrentHashMap;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

/**
 * Tells whether a dotted name is a Java package that a class loader can load classes
 * from, for the Python import of Java packages ({@code import java.util}). A name is a
 * package when it or any package below it has classes: {@code java} is one because
 * {@code java.lang} is.
 *
 * <p>Where packages are found: the modules of the boot layer (the JDK), the packages the
 * loader and its parents have defined so far, the loader's resources (a folder, or a jar
 * with folder entries), and the jars of the class path and of a {@link URLClassLoader},
 * read once. Answers are cached per loader; a package that appears later (a jar added at
 * run time) is found by the resource look-up unless it was asked for, and refused, before.
 */
public final class JavaPackages {
    /** The JDK's packages and their prefixes. */
    private static final Set<String> BOOT = prefixes(bootPackages());
    /** Packages (with prefixes) of each jar read, by path. */
    private static final Map<Path, Set<String>> JARS = new ConcurrentHashMap<>();
    /** Answers per loader (null: the answers without a loader). */
    private static final Map<ClassLoader, Map<String, Boolean>> ANSWERS = new WeakHashMap<>();
    private static final Map<String, Boolean> NO_LOADER_ANSWERS = new ConcurrentHashMap<>();

    private JavaPackages() {
    }

    /**
     * Whether {@code name} (dotted, like {@code java.util}) is a Java package, or the
     * prefix of one, that {@code loader} sees.
     *
     * @param loader the class loader of the interpreter asking, or null for the loader of
     *        the kiv classes
     * @param name a dotted package name
     * @return true if classes can be loaded from the package or from a package below it
     */
    public static boolean isPackage(ClassLoader loader, String name) {
        if (name == null || name.isEmpty() || name.startsWith(".") || name.endsWith(".")) {
            return false;
        }
        if (BOOT.contains(name)) {
            return true;
        }
        Map<String, Boolean> answers;
        if (loader == null) {
            answers = NO_LOADER_ANSWERS;
        } else {
            synchronized (ANSWERS) {
                answers = ANSWERS.computeIfAbsent(loader, l -> new ConcurrentHashMap<>());
            }
        }
        ClassLoader l = loader != null ? loader : JavaPackages.class.getClassLoader();
        return answers.computeIfAbsent(name, n -> find(l, n));
    }

    private static boolean find(ClassLoader loader, String name) {
        String path = name.replace('.', '/') + "/";
        if (loader.getResource(path) != null) {
            return true;
        }
        for (ClassLoader l = loader; l != null; l = l.getParent()) {
            for (Package p : l.getDefinedPackages()) {
                if (isWithin(p.getName(), name)) {
                    return true;
                }
            }
        }
        // Jars without folder entries: their class names tell.
        Set<Path> jars = new HashSet<>();
        for (String entry : System.getProperty("java.class.path", "").split(File.pathSeparator)) {
            if (entry.endsWith(".jar")) {
                jars.add(Path.of(entry).toAbsolutePath());
            }
        }
        for (ClassLoader l = loader; l != null; l = l.getParent()) {
            if (l instanceof URLClassLoader) {
                for (URL url : ((URLClassLoader) l).getURLs()) {
                    if ("file".equals(url.getProtocol()) && url.getPath().endsWith(".jar")) {
                        try {
                            jars.add(Path.of(url.toURI()));
                        } catch (URISyntaxException | IllegalArgumentException e) {
                            // not a local file: its resources were asked above
                        }
                    }
                }
            }
        }
        for (Path jar : jars) {
            if (JARS.computeIfAbsent(jar, JavaPackages::jarPackages).contains(name)) {
                return true;
            }
        }
        return false;
    }

    /** Whether pkg is name or lies below it. */
    private static boolean isWithin(String pkg, String name) {
        return pkg.equals(name) || pkg.startsWith(name) && pkg.charAt(name.length()) == '.';
    }

    private static Set<String> bootPackages() {
        Set<String> packages = new HashSet<>();
        for (Module m : ModuleLayer.boot().modules()) {
            ModuleDescriptor d = m.getDescriptor();
            for (String p : m.getPackages()) {
                // Only what the module lets others use; the JDK's internals stay out.
                if (d == null || d.isOpen() || m.isExported(p)) {
                    packages.add(p);
                }
            }
        }
        return packages;
    }

    private static Set<String> jarPackages(Path jar) {
        Set<String> packages = new HashSet<>();
        if (!Files.isRegularFile(jar)) {
            return packages;
        }
        try (JarFile file = new JarFile(jar.toFile())) {
            Enumeration<JarEntry> entries = file.entries();
            while (entries.hasMoreElements()) {
                String entry = entries.nextElement().getName();
                int slash = entry.lastIndexOf('/');
                if (entry.endsWith(".class") && slash > 0 && !entry.startsWith("META-INF/")) {
                    packages.add(entry.substring(0, slash).replace('/', '.'));
                }
            }
        } catch (IOException e) {
            // an unreadable jar has no packages to offer
        }
        return prefixes(packages);
    }

    /** The packages and every prefix of each ("a.b.c" gives "a", "a.b", "a.b.c"). */
    private static Set<String> prefixes(Set<String> packages) {
        Set<String> all = new HashSet<>();
        for (String p : packages) {
            for (int dot = p.indexOf('.'); dot > 0; dot = p.indexOf('.', dot + 1)) {
                all.add(p.substring(0, dot));
            }
            all.add(p);
        }
        return Collections.unmodifiableSet(all);
    }
}
