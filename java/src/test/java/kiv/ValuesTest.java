package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigDecimal;
import java.math.BigInteger;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

/** set, getValue and invoke, and Java values arriving in Python. */
class ValuesTest {

    @Test
    void javaValuesArriveAsPythonValues() {
        try (Interpreter py = new SharedInterpreter()) {
            py.set("i", 5);
            py.set("b", (byte) -1);
            py.set("s", (short) -300);
            py.set("l", Long.MIN_VALUE);
            py.set("f", 0.1f);
            py.set("d", 0.1);
            py.set("t", true);
            py.set("c", 'x');
            py.set("big", BigInteger.TWO.pow(100).negate());
            py.set("n", null);
            Py.check(py, "type(i) is int and i == 5");
            Py.check(py, "b == -1 and s == -300 and l == -2**63");
            Py.check(py, "f == 0.10000000149011612 and d == 0.1");
            Py.check(py, "t is True and c == 'x' and n is None");
            Py.check(py, "big == -2**100");
            py.set("dec", new BigDecimal("1.5"));
            py.set("ai", new java.util.concurrent.atomic.AtomicInteger(7));
            Py.check(py, "not isinstance(dec, (int, float)) and str(dec) == '1.5' and str(ai) == '7'");
            py.set("arr", new int[] {1, 2});
            py.set("cls", String.class);
            Py.check(py, "type(arr).__name__ == 'PyJArray' and type(cls).__name__ == 'PyJClass'");
            Py.check(py, "str(cls) == 'class java.lang.String'");
        }
    }

    @Test
    void stringsRoundTripUnchanged() {
        String[] texts = {"", "caf\u00e9 na\u00efve", "\uD83D\uDE00 emoji", "\uFEFFbom first", "\uFFFEswapped first",
            "nul\u0000inside", "\u0101\u0102 wide"};
        try (Interpreter py = new SubInterpreter()) {
            for (String text : texts) {
                py.set("s", text);
                assertEquals(text, py.getValue("s"), () -> "round trip of " + text.codePoints().boxed().toList());
            }
            py.set("s", "\uD83D\uDE00\u0000\uFEFF");
            Py.check(py, "s == '\\U0001F600\\x00\\ufeff' and len(s) == 3");
            py.set("c", '\uD800');
            Py.check(py, "c == '\\ud800'");
            // Lone surrogates are legal in a Java String and cross both ways intact.
            for (String lone : new String[] {"a\uDC00b\uD83D\uDE00", "\uD800", "x\uDBFF", "\uDFFF\uD800"}) {
                py.set("lone", lone);
                assertEquals(lone, py.getValue("lone"));
                assertEquals(lone.codePointCount(0, lone.length()), py.getValue("len(lone)", Integer.class));
            }
            Py.check(py, "lone == '\\udfff\\ud800'");
        }
    }

    /** Ints cross through their bytes: no limit on the number of digits either way. */
    @Test
    void bigIntegersOfAnySize() {
        try (Interpreter py = new SubInterpreter()) {
            BigInteger two20000 = BigInteger.TWO.pow(20000);
            assertEquals(two20000, py.getValue("2**20000"));
            assertEquals(two20000.negate().add(BigInteger.ONE), py.getValue("-2**20000 + 1"));
            py.set("big", two20000.multiply(BigInteger.valueOf(-3)));
            Py.check(py, "big == -3 * 2**20000");
            for (BigInteger edge : new BigInteger[] {BigInteger.ZERO, BigInteger.valueOf(-1), BigInteger.valueOf(128),
                BigInteger.valueOf(-128), BigInteger.valueOf(-129), BigInteger.TWO.pow(63), BigInteger.TWO.pow(64).negate()}) {
                py.set("v", edge);
                Py.check(py, "v == " + edge);
                assertEquals(edge, py.getValue("v", BigInteger.class));
            }
            py.exec("class Sub(int):\n    def __str__(self):\n        return 'not digits'");
            assertEquals(BigInteger.TWO.pow(70), py.getValue("Sub(2**70)"));
        }
    }

    /** Deep or self-holding lists on a thread with a small stack: RecursionError, not a crash. */
    @Test
    void deepListsOnASmallStackRaiseRecursionError() throws Exception {
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread t = new Thread(null, () -> {
            try (Interpreter py = new SharedInterpreter()) {
                py.exec("deep = []\nfor _ in range(100000):\n    deep = [deep]\nloop = []\nloop.append(loop)");
                for (String name : new String[] {"deep", "loop"}) {
                    KivException e = Py.raises(() -> py.getValue(name));
                    assertEquals("RecursionError", e.getPythonTypeName(), e.getMessage());
                }
                assertEquals(List.of(List.of(List.of())), py.getValue("[[[]]]"));
            } catch (Throwable e) {
                failure.set(e);
            }
        }, "small stack", 256 * 1024);
        t.start();
        t.join();
        if (failure.get() != null) {
            throw new AssertionError(failure.get());
        }
    }

    @Test
    void getValueEvaluatesExpressions() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("rows = [1, 2, 3]\nnothing = None");
            assertEquals(3L, py.getValue("len(rows)", Long.class));
            assertEquals(3, py.getValue("1 + 2", Integer.class));
            assertEquals(3, py.getValue("1 + 2", int.class));
            assertNull(py.getValue("nothing", String.class));
            assertNull(py.getValue(null));
            KivException e = Py.raises(() -> py.getValue("undefined_name"));
            assertEquals("<class 'NameError'>: name 'undefined_name' is not defined", e.getMessage());
        }
    }

    @Test
    void setBindsAndAFailedConversionStoresNothing() {
        try (Interpreter py = new SubInterpreter()) {
            py.set("v", null);
            assertEquals(Boolean.TRUE, py.getValue("v is None", Boolean.class));
            py.set("\u00e9t\u00e9", 1);  // names are real UTF-8
            Py.check(py, "\u00e9t\u00e9 == 1");
            assertEquals("name is invalid.", Py.raises(() -> py.set(null, 1)).getMessage());
        }
    }

    @Test
    void invokeCallsFunctionsAndMethodsWithKeywords() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("def f(a=1, b=2):\n    return a * 10 + b\n"
                    + "class C:\n    def m(self, x):\n        return x + 1\n"
                    + "obj = C()\nnumber = 3\nimport os");
            assertEquals(15L, py.invoke("f", null, Map.of("b", 5)));
            assertEquals(15L, py.invoke("f", Map.of("b", 5)));
            assertEquals(32L, py.invoke("f", 3));
            assertEquals(12L, py.invoke("f"));
            assertEquals(46L, py.invoke("f", new Object[] {4}, Map.of("b", 6)));
            assertEquals(2L, py.invoke("obj.m", 1));
            assertEquals("pyembed:invoke Invalid callable.", Py.raises(() -> py.invoke("number")).getMessage());
            assertEquals("Unable to find object with name: missing", Py.raises(() -> py.invoke("missing")).getMessage());
            assertEquals("Unable to find object with name: nope", Py.raises(() -> py.invoke("nope.m")).getMessage());
            KivException attr = Py.raises(() -> py.invoke("os.path.join", "a", "b"));
            assertTrue(attr.getMessage().startsWith("<class 'AttributeError'>") && attr.getMessage().contains("path.join"),
                    attr.getMessage());
            String longName = "x".repeat(70) + ".m";
            assertEquals("Unable to find object with name: " + longName, Py.raises(() -> py.invoke(longName)).getMessage());
            // A cut long name never splits a character.
            String wide = "\u00e9".repeat(100);
            String msg = Py.raises(() -> py.invoke(wide)).getMessage();
            assertTrue(msg.startsWith("Unable to find object with name: \u00e9") && msg.endsWith("\u00e9"), msg);
            assertEquals("name is invalid.", Py.raises(() -> py.invoke((String) null)).getMessage());
            KivException kw = Py.raises(() -> py.invoke("f", Map.of("c", 1)));
            assertTrue(kw.getMessage().startsWith("<class 'TypeError'>"), kw.getMessage());
        }
    }

    /** The callable stays alive while its arguments are converted, even if that unbinds it. */
    @Test
    void invokeHoldsTheCallableWhileConvertingArguments() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import _kiv, gc\n"
                    + "def g(m):\n    return 'g got ' + str(m.size())\n"
                    + "def unbind(m):\n    globals().pop('g', None)\n    gc.collect()\n    return m\n"
                    + "_kiv.setJavaToPythonConverter(_kiv.findClass('java.util.HashMap'), unbind)");
            assertEquals("g got 0", py.invoke("g", (Object) new HashMap<>()));
            Py.check(py, "'g' not in globals()");
        }
    }

    @Test
    void aConverterThatRaisesFailsSetAndStoresNothing() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import _kiv\n"
                    + "def refuse(m):\n    raise ValueError('no maps here')\n"
                    + "_kiv.setJavaToPythonConverter(_kiv.findClass('java.util.HashMap'), refuse)");
            assertEquals("<class 'ValueError'>: no maps here", Py.raises(() -> py.set("m", new HashMap<>())).getMessage());
            Py.check(py, "'m' not in globals()");
        }
    }

    @Test
    void javaMapsBecomeKeywordsAndPythonDictsComeBackAsMaps() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("def kw(**k):\n    return k");
            Map<String, Object> in = new HashMap<>();
            in.put("a", 1);
            in.put("b", List.of(2));
            Object out = py.invoke("kw", null, in);
            assertTrue(out instanceof Map, String.valueOf(out));
            assertEquals(1L, ((Map<?, ?>) out).get("a"));
        }
    }
}
