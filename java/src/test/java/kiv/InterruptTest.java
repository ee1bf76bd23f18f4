package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.Supplier;

import org.junit.jupiter.api.Test;

/** Interpreter.interrupt() and Thread.interrupt() stop the Python code a binding runs. */
class InterruptTest {

    /** Runs `action` on another thread once Python has counted the latch down. */
    private static Thread after(CountDownLatch started, Runnable action) {
        Thread t = new Thread(() -> {
            try {
                if (started.await(10, TimeUnit.SECONDS)) {
                    action.run();
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "interrupter");
        t.start();
        return t;
    }

    private static void assertInterruptsALoop(Supplier<Interpreter> make) throws Exception {
        try (Interpreter py = make.get()) {
            CountDownLatch started = new CountDownLatch(1);
            py.set("started", started);
            Thread t = after(started, py::interrupt);
            KivException e = Py.raises(() -> py.exec("started.countDown()\nwhile True:\n    pass"));
            t.join();
            assertEquals("KeyboardInterrupt", e.getPythonTypeName());
            assertEquals(2, py.getValue("1 + 1", Integer.class), "usable afterwards");
        }
    }

    @Test
    void interruptStopsRunningCodeInEveryKindOfInterpreter() throws Exception {
        assertInterruptsALoop(SubInterpreter::new);
        assertInterruptsALoop(SharedInterpreter::new);
        assertInterruptsALoop(() -> new SubInterpreter(SubInterpreterOptions.legacy()));
    }

    /** Requested while Python waits in a Java call: raised when the call returns, before the next statement. */
    @Test
    void interruptDuringAJavaCallIsRaisedWhenItReturns() throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            CountDownLatch started = new CountDownLatch(1);
            py.set("started", started);
            Thread t = after(started, py::interrupt);
            KivException e = Py.raises(() -> py.exec("import _kiv\nThread = _kiv.findClass('java.lang.Thread')\n"
                    + "started.countDown()\nThread.sleep(300)\nreached = True\nwhile True:\n    pass"));
            t.join();
            assertEquals("KeyboardInterrupt", e.getPythonTypeName());
            Py.check(py, "'reached' not in globals()");
        }
    }

    /** Nothing runs: nothing happens, now or in a later call; a request at the end of a call is not kept. */
    @Test
    void anInterruptIsNeverKeptForALaterCall() throws Exception {
        try (Interpreter py = new SubInterpreter()) {
            py.interrupt();
            py.exec("x = 1");
            AtomicBoolean stop = new AtomicBoolean();
            Thread hammer = new Thread(() -> {
                while (!stop.get()) {
                    py.interrupt();
                }
            }, "hammer");
            hammer.start();
            int raised = 0;
            for (int i = 0; i < 300; i++) {
                try {
                    py.exec("total = sum(range(200))");
                } catch (KivException e) {
                    assertEquals("KeyboardInterrupt", e.getPythonTypeName());
                    raised++;
                }
            }
            stop.set(true);
            hammer.join();
            for (int i = 0; i < 50; i++) {
                py.exec("total = sum(range(200))");
            }
            assertTrue(raised < 300, "some calls ran through");
            py.close();
            py.interrupt(); // closed: nothing to do
        }
    }

    /** Thread.interrupt() of the owner stops its Python code, and the interrupt status is consumed. */
    @Test
    void threadInterruptOfTheOwner() throws Exception {
        try (Interpreter py = new SharedInterpreter()) {
            CountDownLatch started = new CountDownLatch(1);
            py.set("started", started);
            Thread owner = Thread.currentThread();
            Thread t = after(started, owner::interrupt);
            KivException e = Py.raises(() -> py.exec("started.countDown()\nwhile True:\n    pass"));
            t.join();
            assertEquals("KeyboardInterrupt", e.getPythonTypeName());
            assertFalse(Thread.interrupted(), "the interrupt was consumed");
            py.exec("x = sum(range(1000))");
        } finally {
            Thread.interrupted();
        }
    }
}
