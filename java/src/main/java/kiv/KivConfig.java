package kiv;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * Per-interpreter settings: the class loader through which Python code finds Java
 * classes ({@code _kiv.forName}), folders put at the front of {@code sys.path}, and
 * what {@code SystemExit} does.
 */
public final class KivConfig {
    ClassLoader classLoader;
    final List<String> includePaths = new ArrayList<>();
    boolean systemExitThrows;

    /**
     * The class loader through which Python code finds Java classes. Defaults to the
     * thread's context class loader, else the loader of the kiv classes.
     *
     * @param classLoader the loader, or null for the default
     * @return this
     */
    public KivConfig setClassLoader(ClassLoader classLoader) {
        this.classLoader = classLoader;
        return this;
    }

    /**
     * Folders searched for Python modules before the standard ones, in the order given.
     *
     * @param paths folders, added after those added before
     * @return this
     */
    public KivConfig addIncludePaths(String... paths) {
        for (String p : paths) {
            if (p == null) {
                throw new NullPointerException("include path");
            }
            includePaths.add(p);
        }
        return this;
    }

    /**
     * What {@code SystemExit} ({@code sys.exit()}, {@code exit()}) does when it leaves
     * Python code this interpreter runs for Java. By default (false) it ends the process
     * at once with its status, as it would end python. With true it reaches Java as a
     * {@link SystemExitException} carrying the status instead, so that a program that
     * runs scripts survives one that calls {@code exit()}.
     *
     * @param systemExitThrows true to throw {@link SystemExitException} instead of exiting
     * @return this
     */
    public KivConfig setSystemExitThrows(boolean systemExitThrows) {
        this.systemExitThrows = systemExitThrows;
        return this;
    }

    /**
     * Whether {@code SystemExit} reaches Java as a {@link SystemExitException}.
     *
     * @return the value set by {@link #setSystemExitThrows}, false by default
     */
    public boolean isSystemExitThrows() {
        return systemExitThrows;
    }

    /**
     * The folders added by {@link #addIncludePaths}.
     *
     * @return the folders, in order, unmodifiable
     */
    public List<String> getIncludePaths() {
        return Collections.unmodifiableList(includePaths);
    }

    ClassLoader effectiveClassLoader() {
        if (classLoader != null) {
            return classLoader;
        }
        ClassLoader ctx = Thread.currentThread().getContextClassLoader();
        return ctx != null ? ctx : KivConfig.class.getClassLoader();
    }

    @Override
    public String toString() {
        return "KivConfig[classLoader=" + classLoader + ", includePaths=" + Arrays.toString(includePaths.toArray())
                + ", systemExitThrows=" + systemExitThrows + "]";
    }
}
