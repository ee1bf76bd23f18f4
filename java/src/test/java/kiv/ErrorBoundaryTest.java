package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.AbstractMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.function.Consumer;

import kiv.python.PyCallable;
import org.junit.jupiter.api.Test;

/**
 * A failing call reports its error once, as a KivException, and leaves no second error
 * behind: a Python error still set would be reported by the next call instead of running it.
 */
class ErrorBoundaryTest {

    /** A failing call, and the start of the message it must report. */
    private record Failure(String call, String messageStart, Consumer<Interpreter> action) {
    }

    /** A map whose entries cannot be read. */
    public static final class UnreadableMap extends AbstractMap<String, Object> {
        @Override
        public Set<Map.Entry<String, Object>> entrySet() {
            throw new IllegalStateException("no entries today");
        }
    }

    @Test
    void eachFailingCallLeavesTheInterpreterClean() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("class Odd:\n"
                    + "    __slots__ = ()\n"
                    + "    __hash__ = None\n"
                    + "    def __eq__(self, other): raise ArithmeticError('eq')\n"
                    + "    def __str__(self): raise LookupError('str')\n"
                    + "    def __call__(self): raise OSError('call')\n"
                    + "odd = Odd()\n"
                    + "def boom(**kw): raise ValueError('boom')\n"
                    + "import _kiv\n"
                    + "def refuse(x): raise UnicodeError('no lists')\n"
                    + "_kiv.setJavaToPythonConverter(_kiv.findClass('java.util.LinkedList'), refuse)");
            try (PyCallable odd = py.getValue("odd", PyCallable.class)) {
                List<Failure> failures = List.of(
                        new Failure("exec", "<class 'ZeroDivisionError'>", p -> p.exec("1/0")),
                        new Failure("eval", "<class 'ZeroDivisionError'>", p -> p.eval("1/0")),
                        new Failure("compileString", "<class 'ValueError'>", p -> p.compileString("x\u0000")),
                        new Failure("getValue", "<class 'NameError'>", p -> p.getValue("nowhere")),
                        new Failure("set", "<class 'UnicodeError'>", p -> p.set("s", new java.util.LinkedList<>())),
                        new Failure("invoke", "<class 'ValueError'>: boom", p -> p.invoke("boom")),
                        new Failure("invoke with a Java map that throws", "<class 'RuntimeError'>",
                                p -> p.invoke("boom", new Object[0], new UnreadableMap())),
                        new Failure("getAttr", "<class 'AttributeError'>", p -> odd.getAttr("missing")),
                        new Failure("setAttr", "<class 'AttributeError'>", p -> odd.setAttr("x", 1)),
                        new Failure("delAttr", "<class 'AttributeError'>", p -> odd.delAttr("missing")),
                        new Failure("equals", "<class 'ArithmeticError'>: eq", p -> odd.equals("x")),
                        new Failure("toString", "<class 'LookupError'>: str", p -> odd.toString()),
                        new Failure("hashCode", "<class 'TypeError'>", p -> odd.hashCode()),
                        new Failure("as", "<class 'TypeError'>", p -> odd.as(Integer.class)),
                        new Failure("call", "<class 'OSError'>: call", p -> odd.call()));
                for (Failure f : failures) {
                    KivException e = assertThrows(KivException.class, () -> f.action().accept(py), f.call());
                    assertTrue(e.getMessage().startsWith(f.messageStart()), f.call() + ": " + e.getMessage());
                    assertEquals(2, py.getValue("1 + 1", Integer.class), f.call() + " left an error behind");
                }
            }
        }
    }

    /** A Java exception met on the way into Python travels back as the cause. */
    @Test
    void aJavaFailureWhileReadingKeywordsComesBackAsTheCause() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def kw(**k):\n    return k");
            KivException e = assertThrows(KivException.class, () -> py.invoke("kw", new Object[0], new UnreadableMap()));
            IllegalStateException cause = assertInstanceOf(IllegalStateException.class, e.getCause());
            assertEquals("no entries today", cause.getMessage());
            assertEquals(3L, py.invoke("kw", null, Map.of("x", 3)) instanceof Map<?, ?> m ? m.get("x") : null);
        }
    }
}
