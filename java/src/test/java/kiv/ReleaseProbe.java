package kiv;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

import kiv.python.PyCallable;

/**
 * Run in a child JVM with a fixed, pre-touched heap (so that the Java heap adds nothing
 * to resident memory as it runs): makes the given number of Python objects, each handed
 * to Java as a kiv.python.PyObject that is dropped without close(), and prints how many
 * the Python side saw freed and the resident memory after the first tenth and at the
 * end, as "made M freed F rss-after-first-tenth R0 rss-at-end R1" (bytes).
 */
public final class ReleaseProbe {
    private ReleaseProbe() {
    }

    public static void main(String[] args) throws Exception {
        int n = Integer.parseInt(args[0]);
        boolean isolated = args.length > 1 && args[1].equals("sub");
        try (Interpreter py = isolated ? new SubInterpreter() : new SharedInterpreter()) {
            py.exec(String.join("\n",
                    "import weakref",
                    "freed = 0",
                    "live = set()",
                    "def gone(ref):",
                    "    global freed",
                    "    freed += 1",
                    "    live.discard(ref)",
                    "class C:",
                    "    __slots__ = ('payload', '__weakref__')",
                    "    def __init__(self):",
                    "        self.payload = bytearray(64)",
                    "def make():",
                    "    c = C()",
                    "    live.add(weakref.ref(c, gone))",
                    "    return c",
                    ""));
            PyCallable make = py.getValue("make", PyCallable.class);
            int tenth = n / 10;
            makeMany(make, tenth);
            settle(py, tenth);
            long before = residentBytes();
            makeMany(make, n - tenth);
            settle(py, n);
            long after = residentBytes();
            System.out.println("made " + n + " freed " + py.getValue("freed", Long.class) + " rss-after-first-tenth "
                    + before + " rss-at-end " + after);
        }
    }

    private static void makeMany(PyCallable make, int count) {
        for (int i = 0; i < count; i++) {
            make.call();
        }
    }

    /** Lets the collector notice the dropped objects until Python saw them all freed. */
    private static void settle(Interpreter py, long total) throws InterruptedException {
        for (int i = 0; i < 200 && py.getValue("freed", Long.class) < total; i++) {
            System.gc();
            Thread.sleep(10);
        }
    }

    private static long residentBytes() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
            }
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }
}
