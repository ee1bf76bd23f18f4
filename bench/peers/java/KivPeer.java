import java.util.List;

import kiv.Interpreter;
import kiv.SharedInterpreter;
import kiv.SubInterpreter;

/** Kiv, from the project's own jar: a SharedInterpreter as the main binding. */
public class KivPeer extends Harness {
    Interpreter py;

    public static void main(String[] args) throws Exception {
        new KivPeer().runAll();
    }

    @Override
    void open() {
        py = new SharedInterpreter();
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

    @Override
    Object evalExpression() {
        return py.getValue("x + 1", Long.class);
    }

    @Override
    List<?> intsAsList() {
        return py.getValue("ints", List.class);
    }

    @Override
    double[] ndarrayAsDoubles() {
        return py.getValue("arr", double[].class);
    }

    @Override
    void sharedCreateClose() {
        new SharedInterpreter().close();
    }

    @Override
    void isolatedCreateClose() {
        new SubInterpreter().close();
    }

    @Override
    Worker worker() {
        SubInterpreter sub = new SubInterpreter();
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

    @Override
    void pythonToJava(String py2j, long batchNs, long warmupNs, String skip) {
        py.exec(py2j);
        py.exec("import _kiv\n" + runCall("_kiv.findClass", batchNs, warmupNs, skip, ""));
    }
}
