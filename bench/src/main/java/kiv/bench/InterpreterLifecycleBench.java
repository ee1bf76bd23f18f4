package kiv.bench;

import java.util.concurrent.TimeUnit;

import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Warmup;
import org.openjdk.jmh.infra.Blackhole;

import kiv.SharedInterpreter;
import kiv.SubInterpreter;

/** The cost of making and closing an interpreter binding. */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(1)
public class InterpreterLifecycleBench {

    /** A new isolated sub-interpreter (own interpreter lock and allocator), then its end. */
    @Benchmark
    public void subInterpreter(Blackhole bh) {
        try (SubInterpreter python = new SubInterpreter()) {
            bh.consume(python);
        }
    }

    /** A new thread state in the main interpreter, then its release. */
    @Benchmark
    public void sharedInterpreter(Blackhole bh) {
        try (SharedInterpreter python = new SharedInterpreter()) {
            bh.consume(python);
        }
    }
}
