package kiv;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * Python modules that Kiv carries in its jar, under {@code /kiv/pylib/}, made importable
 * in an interpreter without writing them to disk: the source is read once per process
 * and run as a new module in {@code sys.modules}, unless the interpreter has the module
 * already (shared interpreters of one interpreter share its modules).
 */
final class PythonModules {
    static final String RESOURCE_DIR = "/kiv/pylib/";

    private static final Map<String, String> SOURCES = new ConcurrentHashMap<>();
    /** Each file's code object, marshalled, as a Latin-1 string. */
    private static final Map<String, String> CODE = new ConcurrentHashMap<>();

    private PythonModules() {
    }

    /**
     * Makes the module importable in the interpreter. {@code resource} is its file under
     * {@code /kiv/pylib/}: {@code name.py}, or {@code name/__init__.py} for a package
     * (whose submodules are not loaded this way). Leaves no names in the interpreter's
     * globals. The source is compiled once per process: later interpreters get the code
     * marshalled (as a Latin-1 string, which carries bytes unchanged).
     */
    static void load(Interpreter python, String name, String resource) {
        String n = PythonLiterals.string(name);
        if (python.getValue(n + " in __import__('sys').modules", Boolean.class)) {
            return;
        }
        String file = RESOURCE_DIR + resource;
        String code = CODE.get(file);
        python.set("_kiv_code", code != null ? code : source(file));
        python.exec("import sys as _kiv_sys, marshal as _kiv_marshal\n"
                + "_kiv_m = type(_kiv_sys)(" + n + ")\n"
                + "_kiv_m.__file__ = " + PythonLiterals.string("<kiv>" + file) + "\n"
                + (resource.endsWith("/__init__.py") ? "_kiv_m.__path__ = []\n" : "")
                + (code != null ? "_kiv_c = _kiv_marshal.loads(_kiv_code.encode('latin-1'))\n"
                        : "_kiv_c = compile(_kiv_code, _kiv_m.__file__, 'exec')\n"
                                + "_kiv_code = _kiv_marshal.dumps(_kiv_c).decode('latin-1')\n")
                + "_kiv_sys.modules[" + n + "] = _kiv_m\n"
                + "try:\n"
                + "    exec(_kiv_c, _kiv_m.__dict__)\n"
                + "except BaseException:\n"
                + "    del _kiv_sys.modules[" + n + "]\n"
                + "    raise\n"
                + "finally:\n"
                + "    del _kiv_sys, _kiv_marshal, _kiv_m, _kiv_c\n");
        if (code == null) {
            CODE.putIfAbsent(file, python.getValue("_kiv_code", String.class));
        }
        python.exec("del _kiv_code\n");
    }

    /**
     * Sets up the import of Java packages and classes (the {@code kivimport} package) in a
     * new interpreter binding, for its class loader. If that fails, the binding is closed
     * and the error thrown.
     */
    static void installJavaImports(Kiv kiv) {
        try {
            load(kiv, "kivimport", "kivimport/__init__.py");
            kiv.set("_kiv_loader", kiv.getClassLoader());
            kiv.exec("__import__('kivimport').install(_kiv_loader)\ndel _kiv_loader\n");
        } catch (RuntimeException e) {
            try {
                kiv.close();
            } catch (RuntimeException suppressed) {
                e.addSuppressed(suppressed);
            }
            throw e;
        }
    }

    /** The text of a resource of this jar, read once. */
    static String source(String file) {
        return SOURCES.computeIfAbsent(file, f -> {
            try (InputStream in = PythonModules.class.getResourceAsStream(f)) {
                if (in == null) {
                    throw new IllegalStateException("The Kiv jar lacks its Python file " + f);
                }
                return new String(in.readAllBytes(), StandardCharsets.UTF_8);
            } catch (IOException e) {
                throw new UncheckedIOException("Cannot read Kiv's Python file " + f, e);
            }
        });
    }
}
