package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.StringReader;
import java.io.StringWriter;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.function.IntBinaryOperator;

import javax.script.Bindings;
import javax.script.Compilable;
import javax.script.CompiledScript;
import javax.script.Invocable;
import javax.script.ScriptContext;
import javax.script.ScriptEngine;
import javax.script.ScriptEngineManager;
import javax.script.ScriptException;
import javax.script.SimpleBindings;

import kiv.python.PyObject;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Python through javax.script. */
class ScriptEngineTest {
    private ScriptEngineManager manager;
    private ScriptEngine engine;

    @BeforeEach
    void makeEngine() {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        manager = new ScriptEngineManager();
        engine = manager.getEngineByName("python");
    }

    @AfterEach
    void closeEngine() {
        if (engine instanceof KivScriptEngine) {
            ((KivScriptEngine) engine).close();
        }
    }

    @Test
    void theManagerFindsTheEngineByItsNames() {
        assertInstanceOf(KivScriptEngine.class, engine);
        for (ScriptEngine other : new ScriptEngine[] {manager.getEngineByName("kiv"),
                manager.getEngineByExtension("py"), manager.getEngineByMimeType("text/x-python")}) {
            assertInstanceOf(KivScriptEngine.class, other);
            assertFalse(other == engine, "a new engine each time");
        }
        assertEquals("python", engine.getFactory().getLanguageName());
        assertEquals("3.12", engine.getFactory().getParameter(ScriptEngine.LANGUAGE_VERSION));
        assertNull(engine.getFactory().getParameter("THREADING"), "not thread-safe");
        assertEquals("print('a \\'b\\'')", engine.getFactory().getOutputStatement("a 'b'"));
        assertEquals("x.f(a, b)", engine.getFactory().getMethodCallSyntax("x", "f", "a", "b"));
    }

    @Test
    void evalReturnsTheLastExpressionsValue() throws Exception {
        assertNull(engine.eval("x = 6\ny = 7"));
        assertEquals(42L, engine.eval("x * y"));
        assertEquals("ab", engine.eval(new StringReader("def f(s):\n    return s + 'b'\nf('a')\n")));
        assertEquals(List.of(1L, 2L), engine.eval("[1, 2]"));
        // The value of an expression that is not last is dropped, as in a module.
        assertNull(engine.eval("x + 1\nz = 0"));
        assertInstanceOf(PyObject.class, engine.eval("object()"));
    }

    @Test
    void theEngineBindingsAreTheGlobals() throws Exception {
        engine.put("n", 20);
        assertEquals(40L, engine.eval("n * 2"));
        engine.eval("m = n + 1\n__hidden__ = 1");
        assertEquals(21L, engine.get("m"));
        Bindings b = engine.getBindings(ScriptContext.ENGINE_SCOPE);
        assertTrue(b.containsKey("m"));
        assertTrue(b.keySet().containsAll(List.of("n", "m")), b.keySet().toString());
        assertFalse(b.containsKey("__builtins__") || b.keySet().contains("__hidden__"),
                "dunder names are the interpreter's");
        assertNull(b.get("__hidden__"));
        assertEquals(21L, b.remove("m"));
        ScriptException e = assertThrows(ScriptException.class, () -> engine.eval("m"));
        assertTrue(e.getMessage().contains("NameError: name 'm' is not defined"), e.getMessage());
        assertThrows(IllegalArgumentException.class, () -> b.put("", 1));
        assertThrows(NullPointerException.class, () -> b.get(null));
    }

    @Test
    void otherBindingsAreCopiedInAndBack() throws Exception {
        Bindings mine = new SimpleBindings();
        mine.put("a", 2);
        mine.put("gone", "x");
        assertEquals(6L, engine.eval("b = a * 3\ndel gone\nb", mine));
        assertEquals(6L, mine.get("b"), "a name the script bound");
        assertFalse(mine.containsKey("gone"), "a name the script deleted");
        assertEquals(2, mine.get("a"), "an unchanged name keeps its Java value");

        manager.put("shared", "from the manager");
        assertEquals("from the manager!", engine.eval("shared + '!'"));
        manager.put("shared", "changed");
        assertEquals("changed", engine.eval("shared"), "global scope values are copied again");
        engine.put("shared", "mine");
        assertEquals("mine", engine.eval("shared"), "the engine scope hides the global one");
    }

    @Test
    void errorsBecomeScriptExceptionsWithTheLine() {
        engine.getContext().setAttribute(ScriptEngine.FILENAME, "calc.py", ScriptContext.ENGINE_SCOPE);
        ScriptException e = assertThrows(ScriptException.class,
                () -> engine.eval("def f(x):\n    return 1 / x\n\nf(0)\n"));
        assertTrue(e.getMessage().startsWith("ZeroDivisionError: division by zero"), e.getMessage());
        assertEquals("calc.py", e.getFileName());
        assertEquals(2, e.getLineNumber());
        assertInstanceOf(KivException.class, e.getCause());

        e = assertThrows(ScriptException.class, () -> engine.eval("x = (1,"));
        assertTrue(e.getMessage().contains("SyntaxError"), e.getMessage());
    }

    @Test
    void theContextsWritersTakePythonsOutput() throws Exception {
        engine.eval("import sys\nbefore = sys.stdout\ndef restored():\n    return sys.stdout is before");
        StringWriter out = new StringWriter();
        StringWriter err = new StringWriter();
        engine.getContext().setWriter(out);
        engine.getContext().setErrorWriter(err);
        engine.eval("print('hello', 42)\nprint('oops', file=sys.stderr)");
        assertEquals("hello 42\n", out.toString());
        assertEquals("oops\n", err.toString());
        assertEquals(Boolean.TRUE, ((Invocable) engine).invokeFunction("restored"), "restored after the script");
    }

    interface Shape {
        double area(double scale);

        String name();
    }

    @Test
    void invocableFunctionsMethodsAndInterfaces() throws Exception {
        engine.eval(String.join("\n",
                "def add(a, b):",
                "    return a + b",
                "class Square:",
                "    def __init__(self, side):",
                "        self.side = side",
                "    def area(self, scale):",
                "        return self.side * self.side * scale",
                "    def name(self):",
                "        return 'square'",
                "def applyAsInt(a, b):",
                "    return a * b",
                ""));
        Invocable inv = (Invocable) engine;
        assertEquals(5L, inv.invokeFunction("add", 2, 3));
        assertEquals("ab", inv.invokeFunction("add", "a", "b"));
        assertThrows(NoSuchMethodException.class, () -> inv.invokeFunction("subtract", 1, 2));
        ScriptException e = assertThrows(ScriptException.class, () -> inv.invokeFunction("add", 1, "x"));
        assertTrue(e.getMessage().startsWith("TypeError"), e.getMessage());

        Object square = engine.eval("Square(3)");
        assertEquals(18L, inv.invokeMethod(square, "area", 2));
        assertThrows(NoSuchMethodException.class, () -> inv.invokeMethod(square, "perimeter"));

        Shape shape = inv.getInterface(square, Shape.class);
        assertEquals(4.5, shape.area(0.5));
        assertEquals("square", shape.name());
        IntBinaryOperator times = inv.getInterface(IntBinaryOperator.class);
        assertEquals(42, times.applyAsInt(6, 7));
        assertNull(inv.getInterface(Runnable.class), "no global run()");
    }

    @Test
    void aCompiledScriptRunsAgain() throws Exception {
        CompiledScript script = ((Compilable) engine).compile("total = total + step\ntotal");
        assertSame(engine, script.getEngine());
        engine.put("total", 0);
        engine.put("step", 5);
        assertEquals(5L, script.eval());
        assertEquals(10L, script.eval());
        Bindings other = new SimpleBindings();
        other.put("total", 100);
        other.put("step", 1);
        assertEquals(101L, script.eval(other));
        assertEquals(101L, other.get("total"));
    }

    @Test
    void theEngineBelongsToTheThreadThatUsedItFirst() throws Exception {
        engine.eval("x = 1");
        ExecutionException e = assertThrows(ExecutionException.class,
                () -> CompletableFuture.supplyAsync(() -> {
                    try {
                        return engine.eval("x");
                    } catch (ScriptException se) {
                        throw new IllegalStateException(se);
                    }
                }).get());
        assertInstanceOf(KivException.class, e.getCause(), e.toString());
        assertTrue(e.getCause().getMessage().contains("belongs to thread"), e.getCause().getMessage());
        ((KivScriptEngine) engine).close();
        assertThrows(KivException.class, () -> engine.eval("x"));
    }

    /** From a plain Java program: the service registration is all it takes. */
    @Test
    void aPlainProgramFindsTheEngine() throws Exception {
        ChildJvm.Result r = ChildJvm.main("kiv.ScriptEngineTest$Program").run().assertExit(0).assertNoJniProblems();
        assertEquals("kiv.KivScriptEngine 120\n", r.stdout);
    }

    /** The plain program. */
    public static final class Program {
        public static void main(String[] args) throws Exception {
            ScriptEngine python = new ScriptEngineManager().getEngineByName("python");
            assertNotNull(python, "no engine named python");
            python.eval("import math\ndef fact(n):\n    return math.factorial(n)\n");
            System.out.println(python.getClass().getName() + " " + ((Invocable) python).invokeFunction("fact", 5));
            ((KivScriptEngine) python).close();
        }
    }
}
