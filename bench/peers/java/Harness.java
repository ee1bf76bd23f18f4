import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.TimeUnit;

/**
 * The timing loop and the report shared by every bridge driven from Java. A bridge
 * subclass does one operation per method; the loop around it, the timer and the output
 * are the same for all. An operation a bridge cannot do throws
 * {@link UnsupportedOperationException} with the reason, and is reported as skipped.
 *
 * <p>Each figure: the batch size doubles until one batch takes {@code PEERS_BATCH_MS}
 * (default 100 ms), the operation then runs for {@code PEERS_WARMUP_MS} (default 1000 ms),
 * and the median of five timed batches, divided by the batch size, is printed as
 * {@code RESULT <key> <ns per op>}. py2j.py does the same in Python for the loops that run
 * there.
 */
abstract class Harness {
    static final long BATCH_NS = TimeUnit.MILLISECONDS.toNanos(envLong("PEERS_BATCH_MS", 100));
    static final long WARMUP_NS = TimeUnit.MILLISECONDS.toNanos(envLong("PEERS_WARMUP_MS", 1000));
    static final int BATCHES = 5;

    /** Defined in every bridge's main interpreter before the operations run. */
    static final String SETUP = String.join("\n",
            "def f(a, b):",
            "    return a + b",
            "def g():",
            "    return None",
            "x = 1",
            "ints = list(range(100000))",
            "");
    static final String NUMPY_SETUP = "import numpy\narr = numpy.arange(1000000, dtype=numpy.float64)\n";

    /** CPU-bound pure Python, the work of the two-thread figure (as in ParallelBench). */
    static final String WORK = "s = 0\nfor i in range(200000): s += i";

    static final Integer ONE = 1;
    static final Integer TWO = 2;

    /** Operations already reported by an earlier run of this bridge that ended the process. */
    static final String SKIP = System.getenv().getOrDefault("PEERS_SKIP", "");

    static volatile Object sink;

    static long envLong(String name, long otherwise) {
        String value = System.getenv(name);
        return value == null || value.isEmpty() ? otherwise : Long.parseLong(value.trim());
    }

    /** One Python interpreter of this bridge on the calling thread, running {@link #WORK}. */
    interface Worker extends AutoCloseable {
        void work() throws Exception;
    }

    interface Op {
        void run(int n) throws Exception;
    }

    /** The bridge's main interpreter with {@link #SETUP} (and NumPy's array, where it can) run. */
    abstract void open() throws Exception;

    abstract void close() throws Exception;

    /** The Python function {@code f} called with the Java values 1 and 2, the result back in Java. */
    abstract Object invokeTwoArguments() throws Exception;

    abstract Object invokeNoArguments() throws Exception;

    abstract void execAssignment() throws Exception;

    /** The value of {@code x + 1} in Java. */
    abstract Object evalExpression() throws Exception;

    /** {@code ints} as a java.util.List whose elements are Java values. */
    abstract List<?> intsAsList() throws Exception;

    /** {@code arr} (a million float64) as a double[]. */
    double[] ndarrayAsDoubles() throws Exception {
        throw new UnsupportedOperationException("no NumPy in this bridge");
    }

    /** A new interpreter sharing the main one's state (a thread state, a binding), then its end. */
    void sharedCreateClose() throws Exception {
        throw new UnsupportedOperationException("no such kind of interpreter");
    }

    /** A new interpreter with state of its own, then its end. */
    void isolatedCreateClose() throws Exception {
        throw new UnsupportedOperationException("no such kind of interpreter");
    }

    /** A worker for the thread-scaling figure, made on the thread that will use it. */
    abstract Worker worker() throws Exception;

    /**
     * Runs py2j.py in the main interpreter, then {@code run(<class finder>, batchNs, warmupNs,
     * ..., skip=skip)}, which prints its own lines.
     */
    abstract void pythonToJava(String py2jSource, long batchNs, long warmupNs, String skip) throws Exception;

    /** The Python statement that calls py2j's run with the class finder named. */
    static String runCall(String finder, long batchNs, long warmupNs, String skip, String more) {
        if (!skip.matches("[\\w,]*")) {
            throw new IllegalArgumentException("PEERS_SKIP holds keys and commas only: " + skip);
        }
        return "run(" + finder + ", " + batchNs + ", " + warmupNs + (more.isEmpty() ? "" : ", " + more)
                + ", skip='" + skip + "')\n";
    }

    static boolean skipped(String key) {
        return Arrays.asList(SKIP.split(",")).contains(key);
    }

    static void start(String key) {
        System.out.println("START " + key);
        System.out.flush();
    }

    void runAll() throws Exception {
        open();
        try {
            check("invoke f(1, 2)", invokeTwoArguments(), 3L);
            check("eval x + 1", evalExpression(), 2L);
            figure("invoke2", n -> { for (int i = 0; i < n; i++) sink = invokeTwoArguments(); });
            figure("invoke0", n -> { for (int i = 0; i < n; i++) sink = invokeNoArguments(); });
            figure("exec", n -> { for (int i = 0; i < n; i++) execAssignment(); });
            figure("eval", n -> { for (int i = 0; i < n; i++) sink = evalExpression(); });
            figure("list100k", n -> {
                for (int i = 0; i < n; i++) {
                    List<?> l = intsAsList();
                    if (l.size() != 100000 || ((Number) l.get(99999)).longValue() != 99999) {
                        throw new AssertionError("wrong list: size " + l.size());
                    }
                    sink = l;
                }
            });
            figure("ndarray", n -> {
                for (int i = 0; i < n; i++) {
                    double[] d = ndarrayAsDoubles();
                    if (d.length != 1000000 || d[999999] != 999999.0) {
                        throw new AssertionError("wrong array: length " + d.length);
                    }
                    sink = d;
                }
            });
            figure("shared_life", n -> { for (int i = 0; i < n; i++) sharedCreateClose(); });
            figure("isolated_life", n -> { for (int i = 0; i < n; i++) isolatedCreateClose(); });
            if (!skipped("py2j")) {
                start("py2j");
                try {
                    String source = new String(java.nio.file.Files.readAllBytes(
                            java.nio.file.Path.of(System.getProperty("peers.py2j"))), "UTF-8");
                    pythonToJava(source, BATCH_NS, WARMUP_NS, SKIP);
                    System.out.println("END py2j");
                } catch (Throwable t) {
                    report("py2j", t);
                }
            }
            if (!skipped("threads2")) {
                start("threads2");
                threads();
            }
        } finally {
            close();
        }
        System.out.flush();
    }

    static void check(String what, Object got, long expected) {
        if (!(got instanceof Number) || ((Number) got).longValue() != expected) {
            throw new AssertionError(what + " gave " + got);
        }
    }

    static void figure(String key, Op op) {
        if (skipped(key)) {
            return;
        }
        start(key);
        try {
            System.out.println("RESULT " + key + " " + measure(op));
        } catch (Throwable t) {
            report(key, t);
        }
        System.out.flush();
    }

    static void report(String key, Throwable t) {
        while (t.getCause() != null && !(t instanceof UnsupportedOperationException)) {
            t = t.getCause();
        }
        String why = (t instanceof UnsupportedOperationException ? "" : t.getClass().getSimpleName() + ": ")
                + String.valueOf(t.getMessage()).replaceAll("\\s+", " ");
        if (why.length() > 160) {
            why = why.substring(0, 160) + "...";
        }
        System.out.println((t instanceof UnsupportedOperationException ? "SKIP " : "FAIL ") + key + " " + why);
    }

    /** Nanoseconds per operation: see the class comment. */
    static double measure(Op op) throws Exception {
        int n = 1;
        while (time(op, n) < BATCH_NS && n < (1 << 30)) {
            n *= 2;
        }
        long end = System.nanoTime() + WARMUP_NS;
        while (System.nanoTime() < end) {
            op.run(n);
        }
        long[] batches = new long[BATCHES];
        for (int i = 0; i < BATCHES; i++) {
            batches[i] = time(op, n);
        }
        Arrays.sort(batches);
        return (double) batches[BATCHES / 2] / n;
    }

    static long time(Op op, int n) throws Exception {
        long start = System.nanoTime();
        op.run(n);
        return System.nanoTime() - start;
    }

    /**
     * Pure Python on one thread, then on two at once, each thread with a worker of its own.
     * Two threads make their workers and warm up together; thread 0 counts how many runs of
     * WORK fill five batch times (m); then, three times over, thread 0 runs m alone and both
     * run m at once. Prints the time of one run alone (median) and the speed-up of two
     * threads: runs per second on two over runs per second on one, 2 * alone / together.
     */
    void threads() {
        CyclicBarrier step = new CyclicBarrier(3);
        Throwable[] failure = new Throwable[1];
        int[] runs = new int[1];
        Thread[] threads = new Thread[2];
        for (int t = 0; t < 2; t++) {
            int slot = t;
            threads[t] = new Thread(() -> {
                try (Worker w = worker()) {
                    long warm = System.nanoTime() + WARMUP_NS;
                    while (System.nanoTime() < warm) {
                        w.work();
                    }
                    step.await();
                    if (slot == 0) {
                        long begin = System.nanoTime();
                        int k = 0;
                        while (System.nanoTime() - begin < BATCHES * BATCH_NS || k < 3) {
                            w.work();
                            k++;
                        }
                        runs[0] = k;
                    }
                    step.await();
                    for (int round = 0; round < 3; round++) {
                        step.await();
                        for (int i = 0; slot == 0 && i < runs[0]; i++) {
                            w.work();
                        }
                        step.await();
                        step.await();
                        for (int i = 0; i < runs[0]; i++) {
                            w.work();
                        }
                        step.await();
                    }
                } catch (Throwable e) {
                    synchronized (failure) {
                        if (failure[0] == null && !(e instanceof java.util.concurrent.BrokenBarrierException)) {
                            failure[0] = e;
                        }
                    }
                    step.reset();
                }
            });
            threads[t].start();
        }
        try {
            long[] alone = new long[3];
            long[] together = new long[3];
            step.await();
            step.await();
            for (int round = 0; round < 3; round++) {
                step.await();
                long begin = System.nanoTime();
                step.await();
                alone[round] = System.nanoTime() - begin;
                step.await();
                begin = System.nanoTime();
                step.await();
                together[round] = System.nanoTime() - begin;
            }
            Arrays.sort(alone);
            Arrays.sort(together);
            System.out.println("RESULT work1 " + (double) alone[1] / runs[0]);
            System.out.println("RESULT threads2 " + 2.0 * alone[1] / together[1]);
        } catch (Throwable e) {
            for (Thread t : threads) {
                try {
                    t.join();
                } catch (InterruptedException ignored) {
                    Thread.currentThread().interrupt();
                }
            }
            synchronized (failure) {
                report("threads2", failure[0] != null ? failure[0] : e);
            }
        }
    }
}
