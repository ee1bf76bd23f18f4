import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.List;

import pemja.core.PythonInterpreter;
import pemja.core.PythonInterpreterConfig;
import pemja.core.PythonInterpreterConfig.ExecType;

/**
 * PEMJA, run with the peers' CPython 3.12 virtual environment:
 * {@code java -Dpeers.python=<venv python> -Dpeers.site=<its site-packages> PemjaPeer}.
 */
public class PemjaPeer extends Harness {
    PythonInterpreter py;

    public static void main(String[] args) throws Exception {
        new PemjaPeer().runAll();
    }

    static PythonInterpreter make(ExecType type) {
        return new PythonInterpreter(PythonInterpreterConfig.newBuilder()
                .setPythonExec(System.getProperty("peers.python"))
                .addPythonPaths(System.getProperty("peers.site"))
                .setExcType(type)
                .build());
    }

    @Override
    void open() {
        py = make(ExecType.MULTI_THREAD);
        py.exec(SETUP);
        py.exec(NUMPY_SETUP);
    }

    @Override
    void close() {
        py.close();
    }

    @Override
    Object invokeTwoArguments() {
        return py.invoke("f", ONE, TWO);
    }

    @Override
    Object invokeNoArguments() {
        return py.invoke("g");
    }

    @Override
    void execAssignment() {
        py.exec("x = 1");
    }

    /** No evaluation of an expression here: a statement binds it, then get fetches it. */
    @Override
    Object evalExpression() {
        py.exec("y = x + 1");
        return py.get("y");
    }

    @Override
    List<?> intsAsList() {
        return (List<?>) py.get("ints");
    }

    /** The array comes back as an opaque object; its bytes come back as byte[]. */
    @Override
    double[] ndarrayAsDoubles() {
        byte[] bytes = (byte[]) py.invokeMethod("arr", "tobytes");
        double[] out = new double[bytes.length / Double.BYTES];
        ByteBuffer.wrap(bytes).order(ByteOrder.nativeOrder()).asDoubleBuffer().get(out);
        return out;
    }

    @Override
    void sharedCreateClose() {
        make(ExecType.MULTI_THREAD).close();
    }

    @Override
    void isolatedCreateClose() {
        make(ExecType.SUB_INTERPRETER).close();
    }

    /** Its sub-interpreter kind, the one meant for running on several threads. */
    @Override
    Worker worker() {
        PythonInterpreter sub = make(ExecType.SUB_INTERPRETER);
        return new Worker() {
            @Override
            public void work() {
                sub.exec(WORK);
            }

            @Override
            public void close() {
                sub.close();
            }
        };
    }

    /** Java lists come into Python as Python lists here, so size() is called on a deque. */
    @Override
    void pythonToJava(String py2j, long batchNs, long warmupNs, String skip) {
        py.exec(py2j);
        py.exec("from pemja import findClass\n"
                + runCall("findClass", batchNs, warmupNs, skip, "list_class='java.util.ArrayDeque'"));
    }
}
