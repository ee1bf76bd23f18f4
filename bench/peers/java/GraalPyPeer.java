import java.util.ArrayList;
import java.util.List;

import org.graalvm.polyglot.Context;
import org.graalvm.polyglot.Engine;
import org.graalvm.polyglot.Value;

/**
 * GraalPy through the polyglot API, on a JDK whose JIT compiles it (run.sh starts it with
 * the Graal compiler on the upgrade module path). All contexts share one engine, so code
 * compiled in one is reused by the next.
 */
public class GraalPyPeer extends Harness {
    final Engine engine = Engine.newBuilder("python").option("engine.WarnInterpreterOnly", "true").build();
    Context ctx;
    Value globals;

    public static void main(String[] args) throws Exception {
        GraalPyPeer peer = new GraalPyPeer();
        System.out.println("INFO runtime " + peer.engine.getImplementationName());
        try {
            peer.runAll();
        } finally {
            peer.engine.close();
        }
    }

    Context context() {
        return Context.newBuilder("python").engine(engine).allowAllAccess(true).build();
    }

    @Override
    void open() {
        ctx = context();
        ctx.eval("python", SETUP);
        globals = ctx.getBindings("python");
    }

    @Override
    void close() {
        ctx.close();
    }

    /** Looked up by name on every call, as the bridges with an invoke(name, ...) do. */
    @Override
    Object invokeTwoArguments() {
        return globals.getMember("f").execute(ONE, TWO).as(Object.class);
    }

    @Override
    Object invokeNoArguments() {
        return globals.getMember("g").execute().as(Object.class);
    }

    @Override
    void execAssignment() {
        ctx.eval("python", "x = 1");
    }

    @Override
    Object evalExpression() {
        return ctx.eval("python", "x + 1").as(Object.class);
    }

    /** as(List.class) is a live view: copied into an ArrayList to hold Java values. */
    @Override
    List<?> intsAsList() {
        return new ArrayList<Object>(globals.getMember("ints").as(List.class));
    }

    @Override
    void isolatedCreateClose() {
        Context c = context();
        c.initialize("python");
        c.close();
    }

    @Override
    Worker worker() {
        Context c = context();
        return new Worker() {
            @Override
            public void work() {
                c.eval("python", WORK);
            }

            @Override
            public void close() {
                c.close();
            }
        };
    }

    @Override
    void pythonToJava(String py2j, long batchNs, long warmupNs, String skip) {
        ctx.eval("python", py2j);
        ctx.eval("python", "import java\n" + runCall("java.type", batchNs, warmupNs, skip, ""));
    }
}
