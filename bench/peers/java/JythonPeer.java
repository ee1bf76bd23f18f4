import java.util.ArrayList;
import java.util.List;

import org.python.core.Py;
import org.python.core.PyObject;
import org.python.core.PySystemState;
import org.python.util.PythonInterpreter;

/**
 * Jython (Python 2.7 on the JVM, no interpreter lock). Python 2's range builds a list, so
 * the workers bind range to xrange to run the same loop as the others.
 */
public class JythonPeer extends Harness {
    PythonInterpreter py;

    public static void main(String[] args) throws Exception {
        new JythonPeer().runAll();
    }

    @Override
    void open() {
        py = new PythonInterpreter();
        py.exec(SETUP);
    }

    @Override
    void close() {
        py.close();
    }

    /** Looked up by name on every call, as the bridges with an invoke(name, ...) do. */
    @Override
    Object invokeTwoArguments() {
        return py.get("f").__call__(Py.java2py(ONE), Py.java2py(TWO)).__tojava__(Object.class);
    }

    @Override
    Object invokeNoArguments() {
        return py.get("g").__call__().__tojava__(Object.class);
    }

    @Override
    void execAssignment() {
        py.exec("x = 1");
    }

    @Override
    Object evalExpression() {
        return py.eval("x + 1").__tojava__(Object.class);
    }

    /** A Python list is a live java.util.List here: copied into an ArrayList to hold Java values. */
    @Override
    List<?> intsAsList() {
        PyObject ints = py.get("ints");
        return new ArrayList<Object>((List<?>) ints.__tojava__(List.class));
    }

    /** A new interpreter on the process-wide system state. */
    @Override
    void sharedCreateClose() {
        new PythonInterpreter().close();
    }

    /** A new interpreter with a system state (sys.modules, sys.path) of its own. */
    @Override
    void isolatedCreateClose() {
        new PythonInterpreter(null, new PySystemState()).close();
    }

    @Override
    Worker worker() {
        PythonInterpreter w = new PythonInterpreter();
        w.exec("range = xrange");
        return new Worker() {
            @Override
            public void work() {
                w.exec(WORK);
            }

            @Override
            public void close() {
                w.close();
            }
        };
    }

    @Override
    void pythonToJava(String py2j, long batchNs, long warmupNs, String skip) {
        py.exec(py2j);
        py.exec("from java.lang import Class\n" + runCall("Class.forName", batchNs, warmupNs, skip, ""));
    }
}
