package kivexamples;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.ThreadFactory;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

import kiv.Interpreter;
import kiv.SubInterpreter;

/**
 * A thread pool whose threads each own an isolated sub-interpreter, with its own
 * interpreter lock: pure Python work runs on all of them at the same time. An
 * interpreter belongs to the thread that made it, so each worker makes its own when it
 * starts and closes it when the pool lets the worker go.
 */
public final class PoolExample {
    private static final int THREADS = 4;
    private static final ThreadLocal<Interpreter> PYTHON = new ThreadLocal<>();

    private PoolExample() {
    }

    public static void main(String[] args) throws Exception {
        run();
    }

    static void run() throws Exception {
        AtomicInteger made = new AtomicInteger();
        AtomicInteger names = new AtomicInteger();
        ThreadFactory workers = task -> new Thread(() -> {
            try (Interpreter py = new SubInterpreter()) {  // isolated, with its own lock
                py.exec(String.join("\n",
                        "def count_primes(start, stop):",
                        "    count = 0",
                        "    for n in range(max(start, 2), stop):",
                        "        if all(n % d for d in range(2, int(n ** 0.5) + 1)):",
                        "            count += 1",
                        "    return count",
                        ""));
                made.incrementAndGet();
                PYTHON.set(py);
                task.run();  // the worker's whole life: until the pool shuts down
            } finally {
                PYTHON.remove();
            }
        }, "python-worker-" + names.incrementAndGet());

        ExecutorService pool = Executors.newFixedThreadPool(THREADS, workers);
        try {
            int limit = 100_000;
            int chunk = 10_000;
            List<Future<Long>> counts = new ArrayList<>();
            for (int start = 0; start < limit; start += chunk) {
                int from = start;
                counts.add(pool.submit(() -> (Long) PYTHON.get().invoke("count_primes", from, from + chunk)));
            }
            long total = 0;
            for (Future<Long> count : counts) {
                total += count.get(1, TimeUnit.MINUTES);
            }
            System.out.printf("primes below %d: %d, counted in %d chunks%n", limit, total, counts.size());
        } finally {
            pool.shutdown();
            pool.awaitTermination(1, TimeUnit.MINUTES);
        }
        System.out.printf("%d worker threads, each with a sub-interpreter of its own, closed on that thread%n",
                made.get());
    }
}
