package kiv;

import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.function.Executable;

/** Small helpers for tests that check Python state with Python assertions. */
final class Py {
    private Py() {
    }

    /** Runs a Python assertion; a failure reaches JUnit as a KivException naming the condition. */
    static void check(Interpreter py, String condition) {
        py.exec("assert (" + condition + "), " + PythonLiterals.string("failed: " + condition));
    }

    /** A Python str literal for any Java string. */
    static String lit(String s) {
        return PythonLiterals.string(s);
    }

    static KivException raises(Executable e) {
        return assertThrows(KivException.class, e);
    }
}
