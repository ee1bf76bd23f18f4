package kiv.bench;

import java.util.concurrent.TimeUnit;

import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OperationsPerInvocation;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Warmup;

import kiv.Interpreter;
import kiv.SharedInterpreter;
import kiv.SubInterpreter;

/**
 * Python code calling Java, each next to the same loop written in plain Python over a
 * Python object, so that every Java figure also reads as a ratio to Python's own.  Each
 * benchmark runs a Python loop of {@value #N} operations; scores are per operation.
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class CallBench {
    static final int N = 1000;

    static final String SETUP = String.join("\n",
            "import _kiv",
            "ArrayList = _kiv.findClass('java.util.ArrayList')",
            "Math = _kiv.findClass('java.lang.Math')",
            "Integer = _kiv.findClass('java.lang.Integer')",
            "StringBuilder = _kiv.findClass('java.lang.StringBuilder')",
            "Point = _kiv.findClass('java.awt.Point')",
            "R = range(" + N + ")",
            "jlist = ArrayList()",
            "jlist.add(1)",
            "plist = [1]",
            "class PyMath:",
            "    @staticmethod",
            "    def abs(x):",
            "        return x if x >= 0 else -x",
            "class PyInteger:",
            "    MAX_VALUE = 2**31 - 1",
            "class PyBuilder:",
            "    def __init__(self):",
            "        self.parts = []",
            "    def append(self, x):",
            "        self.parts.append(x)",
            "        return self",
            "class PyPoint:",
            "    def __init__(self):",
            "        self.x = 0",
            "jpoint = Point()",
            "ppoint = PyPoint()",
            "def java_instance_call():",
            "    l = jlist",
            "    for _ in R: l.size()",
            "def python_instance_call():",
            "    l = plist",
            "    for _ in R: l.__len__()",
            "def java_static_call():",
            "    m = Math",
            "    for _ in R: m.abs(-1.5)",
            "def python_static_call():",
            "    m = PyMath",
            "    for _ in R: m.abs(-1.5)",
            "def java_overloaded_call():",
            "    for _ in range(" + (N / 3) + "):",
            "        b = StringBuilder()",
            "        b.append(1); b.append('s'); b.append(2.5)",
            "def python_overloaded_call():",
            "    for _ in range(" + (N / 3) + "):",
            "        b = PyBuilder()",
            "        b.append(1); b.append('s'); b.append(2.5)",
            "def java_static_field_read():",
            "    c = Integer",
            "    for _ in R: c.MAX_VALUE",
            "def python_static_field_read():",
            "    c = PyInteger",
            "    for _ in R: c.MAX_VALUE",
            "def java_field_write():",
            "    p = jpoint",
            "    for i in R: p.x = i",
            "def python_field_write():",
            "    p = ppoint",
            "    for i in R: p.x = i",
            "def java_new_object():",
            "    c = ArrayList",
            "    for _ in R: c()",
            "def python_new_object():",
            "    c = list",
            "    for _ in R: c()",
            "");

    /** One shared interpreter per iteration, made on the thread that runs it. */
    @State(Scope.Thread)
    public static class Python {
        Interpreter py;

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec(SETUP);
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object javaInstanceCall(Python s) {
        return s.py.invoke("java_instance_call");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object pythonInstanceCall(Python s) {
        return s.py.invoke("python_instance_call");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object javaStaticCall(Python s) {
        return s.py.invoke("java_static_call");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object pythonStaticCall(Python s) {
        return s.py.invoke("python_static_call");
    }

    /** Three overloaded appends (int, str, float) per operation, plus making the builder. */
    @Benchmark
    @OperationsPerInvocation(N / 3)
    public Object javaOverloadedCalls(Python s) {
        return s.py.invoke("java_overloaded_call");
    }

    @Benchmark
    @OperationsPerInvocation(N / 3)
    public Object pythonOverloadedCalls(Python s) {
        return s.py.invoke("python_overloaded_call");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object javaStaticFieldRead(Python s) {
        return s.py.invoke("java_static_field_read");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object pythonStaticFieldRead(Python s) {
        return s.py.invoke("python_static_field_read");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object javaFieldWrite(Python s) {
        return s.py.invoke("java_field_write");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object pythonFieldWrite(Python s) {
        return s.py.invoke("python_field_write");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object javaNewObject(Python s) {
        return s.py.invoke("java_new_object");
    }

    @Benchmark
    @OperationsPerInvocation(N)
    public Object pythonNewObject(Python s) {
        return s.py.invoke("python_new_object");
    }

    /**
     * The first use of a Java class in an interpreter: finding it and building the Python
     * types of the class and its ancestors.  Each invocation gets a fresh interpreter,
     * whose type cache is empty.  The Python comparison builds a class of as many methods
     * with type().
     */
    @State(Scope.Thread)
    public static class Fresh {
        Interpreter py;

        @Setup(Level.Invocation)
        public void open() {
            py = new SubInterpreter();
            py.exec("import _kiv\n"
                    + "names = {n: (lambda self: None) for n in dir(list) + ['m%d' % i for i in range(60)]}");
        }

        @TearDown(Level.Invocation)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    @BenchmarkMode(Mode.SingleShotTime)
    @Warmup(iterations = 5)
    @Measurement(iterations = 20)
    @OutputTimeUnit(TimeUnit.MICROSECONDS)
    public void javaFirstUseOfAClass(Fresh s) {
        s.py.exec("c = _kiv.findClass('java.util.concurrent.ConcurrentHashMap')");
    }

    @Benchmark
    @BenchmarkMode(Mode.SingleShotTime)
    @Warmup(iterations = 5)
    @Measurement(iterations = 20)
    @OutputTimeUnit(TimeUnit.MICROSECONDS)
    public void pythonClassCreation(Fresh s) {
        s.py.exec("c = type('C', (dict,), dict(names))");
    }
}
