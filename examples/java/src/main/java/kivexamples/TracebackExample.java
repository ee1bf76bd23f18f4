package kivexamples;

import java.util.List;

import kiv.Interpreter;
import kiv.KivConfig;
import kiv.KivException;
import kiv.SubInterpreter;
import kiv.SubInterpreterOptions;

/**
 * A Python exception reaches Java as a KivException whose stack trace starts with the
 * Python frames (innermost first), followed by the Java frames that called Python.
 */
public final class TracebackExample {
    private TracebackExample() {
    }

    public static void main(String[] args) {
        run();
    }

    static void run() {
        // orders.py lives in src/main/python; the interpreter finds it through its sys.path.
        String pythonDir = System.getProperty("kivexamples.python", "src/main/python");
        KivConfig config = new KivConfig().addIncludePaths(pythonDir);
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.isolated(), config)) {
            py.exec("import orders");
            List<List<Object>> good = List.of(List.of("tea", "2", 3.5), List.of("cake", "1", 4.0));
            System.out.println("total: " + py.invoke("orders.order_total", good));

            List<List<Object>> bad = List.of(List.of("tea", "2", 3.5), List.of("cake", "one", 4.0));
            try {
                py.invoke("orders.order_total", bad);
            } catch (KivException e) {
                System.out.println("failed: " + e.getMessage());
                System.out.println("Python traceback, innermost call first:");
                for (StackTraceElement frame : e.getStackTrace()) {
                    String file = frame.getFileName();
                    if (file == null || file.endsWith(".java")) {
                        break;  // the Java frames follow the Python ones
                    }
                    System.out.printf("  %s, line %d, in %s%n", file, frame.getLineNumber(), frame.getMethodName());
                }
            }
        }
    }
}
