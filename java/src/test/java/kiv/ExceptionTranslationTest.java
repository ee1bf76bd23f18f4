package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.UncheckedIOException;
import java.util.Map;
import java.util.function.Supplier;

import org.junit.jupiter.api.Test;

import kivtest.Fixtures;

/** Java exceptions become Python exceptions carrying the throwable, and back. */
class ExceptionTranslationTest {

    @Test
    void javaExceptionClassesMapToPythonTypes() {
        Map<String, Supplier<? extends Throwable>> cases = Map.ofEntries(
                Map.entry("IndexError", () -> new ArrayIndexOutOfBoundsException(3)),
                Map.entry("OSError", () -> new FileNotFoundException("nope")),
                Map.entry("ValueError", () -> new NumberFormatException("nan")),
                Map.entry("TypeError", () -> new ClassCastException("cast")),
                Map.entry("ImportError", () -> new ClassNotFoundException("no.Such")),
                Map.entry("ArithmeticError", () -> new ArithmeticException("/ by zero")),
                Map.entry("MemoryError", () -> new OutOfMemoryError("test")),
                Map.entry("AssertionError", () -> new AssertionError("test")),
                Map.entry("RuntimeError", () -> new NullPointerException("npe")));
        try (Interpreter py = new SharedInterpreter()) {
            for (Map.Entry<String, Supplier<? extends Throwable>> c : cases.entrySet()) {
                py.set("obj", new Fixtures.Thrower(c.getValue()));
                py.exec("try:\n    str(obj)\n    caught = None\nexcept BaseException as e:\n    caught = e");
                Py.check(py, "type(caught) is " + c.getKey());
                Throwable t = c.getValue().get();
                Py.check(py, "str(caught.args[0]) == " + Py.lit(t.toString()));
            }
            py.set("obj", new Fixtures.Thrower(() -> new UncheckedIOException(new java.io.IOException("io"))));
            py.exec("try:\n    str(obj)\nexcept RuntimeError as e:\n    caught = e");
            Py.check(py, "type(caught) is RuntimeError");
            py.set("obj", new Fixtures.Thrower(() -> new KivException("made in Java")));
            py.exec("try:\n    str(obj)\nexcept RuntimeError as e:\n    caught = e");
            Py.check(py, "str(caught.args[0]) == 'kiv.KivException: made in Java'");
        }
    }

    @Test
    void theThrowableComesBackAsTheCause() {
        IllegalArgumentException iae = new IllegalArgumentException("bad text");
        try (Interpreter py = new SharedInterpreter()) {
            py.set("obj", new Fixtures.Thrower(() -> iae));
            py.exec("try:\n    str(obj)\nexcept ValueError as e:\n    err = e.args[0]");
            assertSame(iae, py.getValue("err"));
            KivException e = Py.raises(() -> py.exec("str(obj)"));
            assertSame(iae, e.getCause());
            assertEquals("<class 'ValueError'>: bad text", e.getMessage());
            assertEquals("<module>", e.getStackTrace()[0].getMethodName());
        }
    }

    @Test
    void aPythonErrorRoundTripsThroughJava() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def fail():\n    raise KeyError('k')\nclass Custom(Exception):\n    pass\n"
                    + "def custom():\n    raise Custom('mine')");
            py.set("obj", new Fixtures.Callback(() -> String.valueOf(py.invoke("fail"))));
            py.exec("try:\n    str(obj)\nexcept KeyError as e:\n    caught = e");
            Py.check(py, "str(caught.args[0]) == \"kiv.KivException: <class 'KeyError'>: k\"");
            py.set("obj", new Fixtures.Callback(() -> String.valueOf(py.invoke("custom"))));
            py.exec("try:\n    str(obj)\nexcept Custom as e:\n    caught = e");
            Py.check(py, "type(caught) is Custom");
        }
    }

    /** A type address is honoured only where it still names a live exception type. */
    @Test
    void exceptionTypesOfAnEndedInterpreterAreNotTrusted() {
        KivException custom;
        KivException builtin;
        try (Interpreter a = new SubInterpreter()) {
            a.exec("class Gone(Exception):\n    pass");
            custom = Py.raises(() -> a.exec("raise Gone('x')"));
            builtin = Py.raises(() -> a.exec("raise LookupError('y')"));
        }
        try (Interpreter b = new SubInterpreter()) {
            b.set("gone", new Fixtures.Thrower(() -> custom));
            b.set("lookup", new Fixtures.Thrower(() -> builtin));
            b.exec("try:\n    str(gone)\nexcept Exception as e:\n    first = e\n"
                    + "try:\n    str(lookup)\nexcept Exception as e:\n    second = e");
            Py.check(b, "type(first) is RuntimeError and type(second) is LookupError");
        }
    }

    /** Reading the stack trace fails: the failure is reported and no second exception stays pending. */
    @Test
    void aThrowableWithoutAStackTraceLeavesNothingPending() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("obj", new Fixtures.Thrower(Fixtures.NoStackTrace::new));
            py.exec("try:\n    str(obj)\nexcept RuntimeError as e:\n    caught = e");
            Py.check(py, "str(caught) == 'wrapping java exception in pyjobject failed.'");
            py.exec("after = str([1, 2])");  // the next Java call sees no stale exception
        }
    }

    /** Its getMessage and toString throw: Java still gets the error, with the throwable as cause. */
    @Test
    void aThrowableWhoseMessageCannotBeReadStillReachesJava() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("obj", new Fixtures.Thrower(Fixtures.BadMessage::new));
            KivException e = Py.raises(() -> py.exec("str(obj)"));
            assertTrue(e.getCause() instanceof Fixtures.BadMessage, () -> String.valueOf(e.getCause().getClass()));
            assertEquals("<class 'RuntimeError'>: kivtest.Fixtures$BadMessage", e.getMessage());
            assertEquals("RuntimeError", e.getPythonTypeName());
            py.exec("after = str([1, 2])");  // nothing stale left pending
            Py.check(py, "after == '[1, 2]'");
        }
    }

    /** Python -> Java -> Python -> Java -> Python: the type survives and the message does not grow. */
    @Test
    void anErrorCrossingTwiceKeepsItsTypeAndMessage() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def inner():\n    raise ValueError('bad')\n"
                    + "def middle():\n    return str(first)\n");
            py.set("first", new Fixtures.Callback(() -> String.valueOf(py.invoke("inner"))));
            py.set("second", new Fixtures.Callback(() -> String.valueOf(py.invoke("middle"))));
            py.exec("try:\n    str(second)\nexcept Exception as e:\n    caught = e");
            Py.check(py, "type(caught) is ValueError");
            Py.check(py, "str(caught.args[0]) == \"kiv.KivException: <class 'ValueError'>: bad\"");
            KivException e = Py.raises(() -> py.exec("str(second)"));
            assertEquals("<class 'ValueError'>: bad", e.getMessage());
            assertEquals("ValueError", e.getPythonTypeName());
            assertTrue(e.getCause() instanceof KivException, String.valueOf(e.getCause()));
            // Java code that wraps a Python error keeps its type too.
            KivException wrapped = new KivException("context", e);
            assertEquals(e.getPythonType(), wrapped.getPythonType());
            assertEquals("ValueError", wrapped.getPythonTypeName());
        }
    }

    /** Python calling Java calling Python, past the recursion limit: one RecursionError, bounded. */
    @Test
    void recursionThroughJavaEndsInOneRecursionError() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import sys\nsys.setrecursionlimit(300)\ndef down():\n    return str(again)\n");
            py.set("again", new Fixtures.Callback(() -> String.valueOf(py.invoke("down"))));
            KivException e = Py.raises(() -> py.invoke("down"));
            assertEquals("RecursionError", e.getPythonTypeName());
            // Python's limit, or the Java stack's (StackOverflowError), whichever comes first.
            assertTrue(e.getMessage().startsWith("<class 'RecursionError'>: maximum recursion depth exceeded")
                    || e.getMessage().equals("<class 'RecursionError'>: java.lang.StackOverflowError"), e.getMessage());
            assertTrue(e.getMessage().length() < 300, e.getMessage());
            py.exec("sys.setrecursionlimit(1000)");
        }
    }

    /** A StackOverflowError in Java code called from Python arrives as RecursionError. */
    @Test
    void aJavaStackOverflowBecomesRecursionError() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("obj", new Fixtures.Thrower(() -> new StackOverflowError("deep")));
            py.exec("try:\n    str(obj)\nexcept RecursionError as e:\n    caught = e");
            Py.check(py, "str(caught.args[0]) == 'java.lang.StackOverflowError: deep'");
        }
    }

    @Test
    void exceptionTypesThatCannotCarryTheThrowableFallBackToRuntimeError() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("class TwoArgs(Exception):\n    def __init__(self, a, b):\n        super().__init__(a, b)\n"
                    + "def fail():\n    raise TwoArgs(1, 2)");
            py.set("obj", new Fixtures.Callback(() -> String.valueOf(py.invoke("fail"))));
            py.exec("try:\n    str(obj)\nexcept Exception as e:\n    caught = e");
            Py.check(py, "type(caught) is RuntimeError");
            Py.check(py, "'TwoArgs' in str(caught.args[0])");
        }
    }
}
