package kiv.bench;

import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Warmup;

import kiv.Interpreter;
import kiv.SharedInterpreter;

/**
 * Values across the bridge: Java calls of a Python function with two arguments and with
 * none, a short expression evaluated again and again, a 100,000 element list of ints
 * fetched as a java.util.List and as a long[], a dict of 1,000 str keys to ints fetched
 * as a java.util.Map, and a 1 MB string set and fetched.
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ValuesBench {

    /** One interpreter per iteration, made on the thread that runs it (see ExecBench). */
    @State(Scope.Thread)
    public static class Python {
        Interpreter py;
        String megabyte;
        Long one = 1L;
        Long two = 2L;

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec("def add(a, b):\n    return a + b\n"
                    + "def nothing():\n    pass\n"
                    + "x = 1\n"
                    + "ints = list(range(100_000))\n"
                    + "table = {'k%d' % i: i for i in range(1_000)}");
            StringBuilder b = new StringBuilder(1 << 20);
            while (b.length() < (1 << 20)) {
                b.append("0123456789abcdef");
            }
            megabyte = b.toString();
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    @OutputTimeUnit(TimeUnit.NANOSECONDS)
    public Object invokeTwoArguments(Python s) {
        return s.py.invoke("add", s.one, s.two);
    }

    @Benchmark
    @OutputTimeUnit(TimeUnit.NANOSECONDS)
    public Object invokeNoArguments(Python s) {
        return s.py.invoke("nothing");
    }

    @Benchmark
    @OutputTimeUnit(TimeUnit.NANOSECONDS)
    public Long getValueExpression(Python s) {
        return s.py.getValue("x + 1", Long.class);
    }

    @Benchmark
    public long[] getValueLongArrayOf100kInts(Python s) {
        return s.py.getValue("ints", long[].class);
    }

    @Benchmark
    public Map<?, ?> getValueMapOf1kStrInts(Python s) {
        return s.py.getValue("table", Map.class);
    }

    @Benchmark
    public List<?> getValueListOf100kInts(Python s) {
        return s.py.getValue("ints", List.class);
    }

    @Benchmark
    public String setThenGetValue1MBString(Python s) {
        s.py.set("text", s.megabyte);
        return s.py.getValue("text", String.class);
    }
}
