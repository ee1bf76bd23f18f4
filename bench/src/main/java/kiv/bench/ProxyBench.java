package kiv.bench;

import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;

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
import kiv.SubInterpreter;

/**
 * Java calling a Python function through a proxy (a {@link Runnable} and a
 * {@link Function} made from the function), on the thread that owns the interpreter and
 * on another thread, beside {@link Interpreter#invoke} of the same function on the
 * owner. Each interpreter is an isolated sub-interpreter; scores are per call.
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ProxyBench {
    static final String SETUP = String.join("\n",
            "def tick():",
            "    pass",
            "def inc(x):",
            "    return x + 1",
            "");

    static final Integer ARG = 41;

    /** The interpreter and its proxies, made by the benchmark thread, which owns them. */
    @State(Scope.Thread)
    public static class Owned {
        Interpreter py;
        Runnable tick;
        Function<Object, Object> inc;

        @Setup(Level.Iteration)
        @SuppressWarnings("unchecked")
        public void open() {
            py = new SubInterpreter();
            py.exec(SETUP);
            tick = py.getValue("tick", Runnable.class);
            inc = py.getValue("inc", Function.class);
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    /** The same, made and closed by a thread of their own: the benchmark thread is another. */
    @State(Scope.Thread)
    public static class Foreign {
        ExecutorService owner;
        Interpreter py;
        Runnable tick;
        Function<Object, Object> inc;

        @Setup(Level.Iteration)
        @SuppressWarnings("unchecked")
        public void open() throws Exception {
            owner = Executors.newSingleThreadExecutor();
            py = owner.submit(() -> {
                Interpreter p = new SubInterpreter();
                p.exec(SETUP);
                return p;
            }).get();
            tick = owner.submit(() -> py.getValue("tick", Runnable.class)).get();
            inc = owner.submit(() -> (Function<Object, Object>) py.getValue("inc", Function.class)).get();
        }

        @TearDown(Level.Iteration)
        public void close() throws Exception {
            owner.submit(() -> py.close()).get();
            owner.shutdown();
        }
    }

    @Benchmark
    public Object invokeTick(Owned s) {
        return s.py.invoke("tick");
    }

    @Benchmark
    public void proxyTick(Owned s) {
        s.tick.run();
    }

    @Benchmark
    public void proxyTickOtherThread(Foreign s) {
        s.tick.run();
    }

    @Benchmark
    public Object invokeInc(Owned s) {
        return s.py.invoke("inc", ARG);
    }

    @Benchmark
    public Object proxyInc(Owned s) {
        return s.inc.apply(ARG);
    }

    @Benchmark
    public Object proxyIncOtherThread(Foreign s) {
        return s.inc.apply(ARG);
    }
}
