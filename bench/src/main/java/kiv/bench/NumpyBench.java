package kiv.bench;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.concurrent.TimeUnit;

import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Warmup;

import kiv.DirectNDArray;
import kiv.Interpreter;
import kiv.NDArray;
import kiv.SharedInterpreter;

/**
 * NumPy arrays across the bridge, each copy of 8 MB (1,048,576 float64, or 1000 x 1000
 * for the 2-D case), beside the same 8 MB copied by the JVM alone (System.arraycopy into
 * an existing array; Arrays.copyOf and new double[], which allocate like a transfer into
 * Java does), to read them as a share of memory bandwidth; bench/memcpy_bandwidth.c
 * measures C's memcpy.
 * The DirectNDArray case shares the buffer instead of copying: its time must not
 * depend on the buffer's size.
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
@Fork(value = 1, jvmArgsAppend = {"-Xmx4g", "-XX:MaxDirectMemorySize=1g"})
public class NumpyBench {
    static final int N = 1 << 20;

    /** One interpreter per iteration, made on the thread that runs it (see ExecBench). */
    @State(Scope.Thread)
    public static class Python {
        Interpreter py;
        double[] doubles;
        double[] target;
        NDArray ndarray;

        @Setup(Level.Trial)
        public void data() {
            doubles = new double[N];
            for (int i = 0; i < N; i++) {
                doubles[i] = i * 0.5;
            }
            target = new double[N];
            ndarray = new NDArray(doubles);
        }

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec("import numpy as np\n"
                    + "flat = np.arange(" + N + ", dtype=np.float64)\n"
                    + "square = np.arange(1000 * 1000, dtype=np.float64).reshape(1000, 1000)\n"
                    + "def take(jarr):\n"
                    + "    global copied\n"
                    + "    copied = np.array(jarr)\n"
                    + "    if copied.dtype != np.float64:\n"
                    + "        raise TypeError('no buffer protocol on Java arrays: ' + repr(copied.dtype))\n");
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    /** A direct buffer of the given size, shared with Python. */
    @State(Scope.Thread)
    public static class Direct {
        @Param({"8192", "536870912"})
        int bytes;
        Interpreter py;
        DirectNDArray direct;

        @Setup(Level.Trial)
        public void buffer() {
            ByteBuffer b = ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
            direct = new DirectNDArray(b.asDoubleBuffer());
        }

        @Setup(Level.Iteration)
        public void open() {
            py = new SharedInterpreter();
            py.exec("import numpy");
        }

        @TearDown(Level.Iteration)
        public void close() {
            py.close();
        }
    }

    @Benchmark
    public double[] ndarrayToDoubleArray8MB(Python s) {
        return s.py.getValue("flat", double[].class);
    }

    @Benchmark
    public NDArray ndarray2dToNDArray8MB(Python s) {
        return s.py.getValue("square", NDArray.class);
    }

    @Benchmark
    public void ndArrayToNdarray8MB(Python s) {
        s.py.set("copy", s.ndarray);
    }

    /** np.array of a Java double[]: through the array's buffer protocol. */
    @Benchmark
    public void doubleArrayToNdarray8MB(Python s) {
        s.py.invoke("take", s.doubles);
    }

    @Benchmark
    public void directNDArrayToNdarray(Direct s) {
        s.py.set("shared", s.direct);
    }

    @Benchmark
    public double[] jvmArraycopy8MB(Python s) {
        System.arraycopy(s.doubles, 0, s.target, 0, N);
        return s.target;
    }

    @Benchmark
    public double[] jvmCopyOf8MB(Python s) {
        return java.util.Arrays.copyOf(s.doubles, N);
    }

    /** What every transfer into a new Java array pays first: the JVM allocates and zeroes it. */
    @Benchmark
    public double[] jvmNewArray8MB() {
        return new double[N];
    }
}
