package kiv;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * Per-interpreter settings: the class loader through which Python code finds Java
 * classes ({@code _kiv.forName}) and folders put at the front of {@code sys.path}.
 */
public final class KivConfig {
    ClassLoader classLoader;
    final List<String> includePaths = new ArrayList<>();

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
        return "KivConfig[classLoader=" + classLoader + ", includePaths=" + Arrays.toString(includePaths.toArray()) + "]";
    }
}
