package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Interpreters are confined to their thread; isolated sub-interpreters run in parallel. */
class ThreadingTest {

    private static <T> T onOtherThread(Callable<T> task) throws Exception {
        ExecutorService ex = Executors.newSingleThreadExecutor();
        try {
            return ex.submit(task).get();
        } finally {
            ex.shutdownNow();
        }
    }

    @Test
    void anotherThreadIsRefusedWithoutReachingPython() throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            py.exec("x = 1");
            Throwable t = onOtherThread(() -> {
                try {
                    py.exec("x = 2");
                    return null;
                } catch (KivException e) {
                    return e;
                }
            });
            assertTrue(t instanceof KivException && t.getMessage().contains("cannot be used from thread"), String.valueOf(t));
            Throwable c = onOtherThread(() -> {
                try {
                    py.close();
                    return null;
                } catch (KivException e) {
                    return e;
                }
            });
            assertTrue(c instanceof KivException, String.valueOf(c));
            Py.check(py, "x == 1");
        }
    }

    @Test
    void aClosedInterpreterRefusesEverythingButClose() {
        Interpreter py = new SharedInterpreter();
        py.close();
        py.close();
        assertEquals("This interpreter is closed", Py.raises(() -> py.exec("1")).getMessage());
        Py.raises(() -> py.eval("1"));
        Py.raises(() -> py.runScript("x.py"));
        Py.raises(() -> py.compileString("1"));
    }

    @Test
    void interpretersOnManyThreadsAtOnce() throws Exception {
        ExecutorService ex = Executors.newFixedThreadPool(4);
        try {
            List<Future<String>> results = new ArrayList<>();
            for (int i = 0; i < 8; i++) {
                final int n = i;
                results.add(ex.submit(() -> {
                    try (Interpreter py = n % 2 == 0 ? new SubInterpreter() : new SharedInterpreter()) {
                        py.exec("import json\nv = sum(range(" + (1000 * n) + "))\nassert json.loads(json.dumps(v)) == v");
                        return "ok";
                    }
                }));
            }
            for (Future<String> f : results) {
                assertEquals("ok", f.get());
            }
        } finally {
            ex.shutdownNow();
        }
    }

    /**
     * Two isolated sub-interpreters on two threads meet in the middle: each marks shared
     * memory and then spins, without ever giving up its interpreter lock, until it sees
     * the other's mark. That can only finish if both run at the same time.
     */
    @Test
    void ownLockSubInterpretersRunInParallel(@TempDir Path dir) throws Exception {
        Path flags = dir.resolve("flags");
        Files.write(flags, new byte[2]);
        String code = "import mmap, sys\n"
                + "sys.setswitchinterval(60)\n"
                + "with open(" + Py.lit(flags.toString()) + ", 'r+b') as f:\n"
                + "    m = mmap.mmap(f.fileno(), 2)\n"
                + "m[ME] = 1\n"
                + "n = 0\n"
                + "while m[OTHER] == 0:\n"
                + "    n += 1\n"
                + "m.close()\n";
        ExecutorService ex = Executors.newFixedThreadPool(2);
        try {
            assertTimeoutPreemptively(Duration.ofSeconds(60), () -> {
                Future<?> a = ex.submit(() -> {
                    try (Interpreter py = new SubInterpreter()) {
                        py.exec(code.replace("ME", "0").replace("OTHER", "1"));
                    }
                });
                Future<?> b = ex.submit(() -> {
                    try (Interpreter py = new SubInterpreter()) {
                        py.exec(code.replace("ME", "1").replace("OTHER", "0"));
                    }
                });
                a.get();
                b.get();
            });
        } finally {
            ex.shutdownNow();
        }
    }

    @Test
    void sharedInterpreterOnAnotherThreadsBase() throws Exception {
        try (Interpreter base = new SubInterpreter()) {
            base.exec("counter = 0");
            ExecutorService ex = Executors.newSingleThreadExecutor();
            try {
                Interpreter child = ex.submit(() -> {
                    Interpreter c = new SharedInterpreter(base, true);
                    c.exec("counter += 1");
                    return c;
                }).get();
                Py.check(base, "counter == 1");
                KivException busy = assertThrows(KivException.class, base::close);
                assertTrue(busy.getMessage().contains("shared interpreter"), busy.getMessage());
                assertFalse(((Kiv) base).isClosed());
                ex.submit(child::close).get();
            } finally {
                ex.shutdownNow();
            }
            base.exec("counter += 1");
        }
    }
}
