package kiv.bench;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
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

/**
 * Java containers used from Python, each beside the same Python loop over the Python
 * equivalent (the *Python benchmarks), in time per element: iterating a 100,000 element
 * ArrayList of Integers, jlist[i] and len(jlist), jmap[k] on a HashMap of String to
 * Integer, sum() of a pinned int[] of 1,000,000, and a memoryview of a direct ByteBuffer
 * of 8 MB beside one of 1 KB (the same time: nothing is copied).
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ContainerBench {

    static final int LIST = 100_000;
    static final int LENS = 10_000;
    static final int KEYS = 1_000;
    static final int ARRAY = 1_000_000;
    static final int VIEWS = 1_000;

    static final String LOOPS = String.join("\n",
            "import _kiv",
            "pylist = list(range(100_000))",
            "pyints = list(range(1_000_000))",
            "keys = ['k%d' % i for i in range(1_000)]",
            "pydict = {k: i for i, k in enumerate(keys)}",
            "pybytes = bytearray(8 << 20)",
            "def iterate(c):",
            "    for x in c:",
            "        pass",
            "def index(c):",
            "    for i in range(100_000):",
            "        c[i]",
            "def length(c):",
            "    for _ in range(10_000):",
            "        len(c)",
            "def lookup(m):",
            "    for k in keys:",
            "        m[k]",
            "def views(b):",
            "    for _ in range(1_000):",
            "        memoryview(b).release()",
            "LOOPS = dict(iterate=iterate, index=index, length=length, lookup=lookup, views=views, sum=sum)",
            "def run(loop, name):",
            "    return LOOPS[loop](globals()[name])",
            "");

    /** One interpreter per iteration, made on the thread that runs it (see ExecBench). */
    @State(Scope.Thread)
    public static class Python {
        Interpreter py;

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec(LOOPS);
            List<Integer> list = new ArrayList<>(LIST);
            for (int i = 0; i < LIST; i++) {
                list.add(i);
            }
            py.set("jlist", list);
            Map<String, Integer> map = new HashMap<>();
            for (int i = 0; i < KEYS; i++) {
                map.put("k" + i, i);
            }
            py.set("jmap", map);
            py.set("big", ByteBuffer.allocateDirect(8 << 20));
            py.set("small", ByteBuffer.allocateDirect(1 << 10));
            int[] ints = new int[ARRAY];
            for (int i = 0; i < ARRAY; i++) {
                ints[i] = i;
            }
            py.set("jarr", ints);  // a Java array wrapper, its elements pinned
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    @OperationsPerInvocation(LIST)
    public Object iterateJavaList(Python s) {
        return s.py.invoke("run", "iterate", "jlist");
    }

    @Benchmark
    @OperationsPerInvocation(LIST)
    public Object iteratePythonList(Python s) {
        return s.py.invoke("run", "iterate", "pylist");
    }

    @Benchmark
    @OperationsPerInvocation(LIST)
    public Object indexJavaList(Python s) {
        return s.py.invoke("run", "index", "jlist");
    }

    @Benchmark
    @OperationsPerInvocation(LIST)
    public Object indexPythonList(Python s) {
        return s.py.invoke("run", "index", "pylist");
    }

    @Benchmark
    @OperationsPerInvocation(LENS)
    public Object lenJavaList(Python s) {
        return s.py.invoke("run", "length", "jlist");
    }

    @Benchmark
    @OperationsPerInvocation(LENS)
    public Object lenPythonList(Python s) {
        return s.py.invoke("run", "length", "pylist");
    }

    @Benchmark
    @OperationsPerInvocation(KEYS)
    public Object lookupJavaMap(Python s) {
        return s.py.invoke("run", "lookup", "jmap");
    }

    @Benchmark
    @OperationsPerInvocation(KEYS)
    public Object lookupPythonDict(Python s) {
        return s.py.invoke("run", "lookup", "pydict");
    }

    @Benchmark
    @OperationsPerInvocation(ARRAY)
    public Object sumJavaIntArray(Python s) {
        return s.py.invoke("run", "sum", "jarr");
    }

    @Benchmark
    @OperationsPerInvocation(ARRAY)
    public Object sumPythonList(Python s) {
        return s.py.invoke("run", "sum", "pyints");
    }

    @Benchmark
    @OperationsPerInvocation(VIEWS)
    public Object memoryviewDirectBuffer8MB(Python s) {
        return s.py.invoke("run", "views", "big");
    }

    @Benchmark
    @OperationsPerInvocation(VIEWS)
    public Object memoryviewDirectBuffer1KB(Python s) {
        return s.py.invoke("run", "views", "small");
    }

    @Benchmark
    @OperationsPerInvocation(VIEWS)
    public Object memoryviewPythonBytearray8MB(Python s) {
        return s.py.invoke("run", "views", "pybytes");
    }
}
