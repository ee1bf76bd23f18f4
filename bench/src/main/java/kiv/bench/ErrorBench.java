package kiv.bench;

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
import kiv.KivException;
import kiv.SharedInterpreter;

/**
 * A Python error on its way to Java: a call of a function that raises three frames deep,
 * caught in Java as a KivException (message, type, stack trace and traceback text made).
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ErrorBench {

    /** One interpreter per iteration, made on the thread that runs it (see ExecBench). */
    @State(Scope.Thread)
    public static class Python {
        Interpreter py;

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec("def inner(x):\n    raise ValueError('bad', x)\n"
                    + "def middle(x):\n    return inner(x)\n"
                    + "def outer(x):\n    return middle(x)\n");
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    public Object invokeThatRaises(Python s) {
        try {
            return s.py.invoke("outer", 1L);
        } catch (KivException e) {
            return e;
        }
    }
}
