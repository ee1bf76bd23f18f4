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
import kiv.SharedInterpreter;
import kiv.SubInterpreter;

/** The round trip of one trivial statement: Java to Python and back. */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ExecBench {

    /**
     * Interpreters belong to the thread that made them. JMH keeps a thread-scoped state
     * for one worker slot but may run later iterations on another pool thread, so the
     * interpreters live for one iteration: iteration set-up and tear-down run on the
     * thread that runs that iteration.
     */
    @State(Scope.Thread)
    public static class Interpreters {
        Interpreter sub;
        Interpreter shared;

        @Setup(Level.Iteration)
        public void open() {
            sub = new SubInterpreter();
            shared = new SharedInterpreter();
        }

        @TearDown(Level.Iteration)
        public void close() {
            shared.close();
            sub.close();
        }
    }

    @Benchmark
    public void subInterpreter(Interpreters s) {
        s.sub.exec("x = 1");
    }

    @Benchmark
    public void sharedInterpreter(Interpreters s) {
        s.shared.exec("x = 1");
    }
}
