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
import org.openjdk.jmh.annotations.Threads;
import org.openjdk.jmh.annotations.Warmup;

import kiv.Interpreter;
import kiv.SharedInterpreter;
import kiv.SubInterpreter;

/**
 * CPU-bound Python on one thread and on two. Scores are total operations per second
 * over all threads, so the speed-up is {@code isolated2 / isolated1}: close to 2 on two
 * free cores when each thread has an isolated sub-interpreter with its own interpreter
 * lock. {@code shared2} runs the same work in the main interpreter, whose one lock
 * serialises the threads, for comparison.
 */
@BenchmarkMode(Mode.Throughput)
@OutputTimeUnit(TimeUnit.SECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class ParallelBench {
    static final String WORK = "s = 0\nfor i in range(200000): s += i";

    /** One isolated sub-interpreter per thread, for one iteration (see ExecBench). */
    @State(Scope.Thread)
    public static class Isolated {
        Interpreter python;

        @Setup(Level.Iteration)
        public void open() {
            python = new SubInterpreter();
        }

        @TearDown(Level.Iteration)
        public void close() {
            python.close();
        }
    }

    /** One thread state of the main interpreter per thread. */
    @State(Scope.Thread)
    public static class Shared {
        Interpreter python;

        @Setup(Level.Iteration)
        public void open() {
            python = new SharedInterpreter();
        }

        @TearDown(Level.Iteration)
        public void close() {
            python.close();
        }
    }

    @Benchmark
    @Threads(1)
    public void isolated1(Isolated s) {
        s.python.exec(WORK);
    }

    @Benchmark
    @Threads(2)
    public void isolated2(Isolated s) {
        s.python.exec(WORK);
    }

    @Benchmark
    @Threads(2)
    public void shared2(Shared s) {
        s.python.exec(WORK);
    }
}
