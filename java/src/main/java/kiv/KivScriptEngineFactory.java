package kiv;

import java.util.List;

import javax.script.ScriptEngine;
import javax.script.ScriptEngineFactory;

/**
 * The {@code javax.script} factory of Kiv's Python engine, registered in
 * {@code META-INF/services}: {@code new ScriptEngineManager().getEngineByName("python")}
 * (or {@code "kiv"}, or the extension {@code "py"}, or the MIME type
 * {@code "text/x-python"}) makes a {@link KivScriptEngine}.
 *
 * <p>The {@code THREADING} parameter is null: an engine is not thread-safe. It belongs
 * to the thread that first runs code with it, as every Kiv interpreter does.
 */
public final class KivScriptEngineFactory implements ScriptEngineFactory {
    private static final List<String> NAMES = List.of("python", "kiv", "python3", "Python");
    private static final List<String> EXTENSIONS = List.of("py");
    private static final List<String> MIME_TYPES = List.of("text/x-python", "application/x-python");

    /** A factory; the {@link javax.script.ScriptEngineManager} makes one itself. */
    public KivScriptEngineFactory() {
    }

    /** @return "Kiv" */
    @Override
    public String getEngineName() {
        return "Kiv";
    }

    /** @return the version of Kiv */
    @Override
    public String getEngineVersion() {
        return Main.version();
    }

    /** @return {@code ["py"]} */
    @Override
    public List<String> getExtensions() {
        return EXTENSIONS;
    }

    /** @return {@code ["text/x-python", "application/x-python"]} */
    @Override
    public List<String> getMimeTypes() {
        return MIME_TYPES;
    }

    /** @return {@code ["python", "kiv", "python3", "Python"]} */
    @Override
    public List<String> getNames() {
        return NAMES;
    }

    /** @return "python" */
    @Override
    public String getLanguageName() {
        return "python";
    }

    /** @return "3.12", the only Python version Kiv runs */
    @Override
    public String getLanguageVersion() {
        return "3.12";
    }

    /**
     * The standard keys of {@link ScriptEngine} ({@code NAME}, {@code ENGINE},
     * {@code ENGINE_VERSION}, {@code LANGUAGE}, {@code LANGUAGE_VERSION}) answer as the
     * getters do; {@code THREADING} and any other key answer null.
     *
     * @param key the name of the parameter
     * @return its value, or null
     */
    @Override
    public Object getParameter(String key) {
        switch (key) {
            case ScriptEngine.NAME:
                return NAMES.get(0);
            case ScriptEngine.ENGINE:
                return getEngineName();
            case ScriptEngine.ENGINE_VERSION:
                return getEngineVersion();
            case ScriptEngine.LANGUAGE:
                return getLanguageName();
            case ScriptEngine.LANGUAGE_VERSION:
                return getLanguageVersion();
            default:
                return null; // THREADING among them: not thread-safe
        }
    }

    /**
     * @param obj the object's name
     * @param m the method's name
     * @param args the arguments' names
     * @return {@code obj.m(arg, ...)}
     */
    @Override
    public String getMethodCallSyntax(String obj, String m, String... args) {
        return obj + "." + m + "(" + String.join(", ", args) + ")";
    }

    /**
     * @param toDisplay the text
     * @return a Python statement that prints the text
     */
    @Override
    public String getOutputStatement(String toDisplay) {
        return "print(" + PythonLiterals.string(toDisplay) + ")";
    }

    /**
     * @param statements Python statements
     * @return the statements, one per line
     */
    @Override
    public String getProgram(String... statements) {
        return String.join("\n", statements) + "\n";
    }

    /** @return a new engine, with a {@link SharedInterpreter} of its own made on first use */
    @Override
    public ScriptEngine getScriptEngine() {
        return new KivScriptEngine(this, SharedInterpreter::new);
    }
}
