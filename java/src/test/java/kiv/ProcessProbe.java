package kiv;

/**
 * Entry point for tests that need a fresh JVM: start-up configuration, and Python code
 * that ends the process. The first argument names the scenario.
 */
public final class ProcessProbe {
    private ProcessProbe() {
    }

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "configured": {
                MainInterpreter.setConfig(new PyConfig().setOptimizationLevel(2).setWriteBytecode(false).setSiteImport(false)
                        .setHashSeed(0).setUseHashSeed(true).setArgv("a", "\u00e9", "\uD83D\uDE00")
                        .setProgramName(System.getProperty("kiv.python.executable")));
                try (Interpreter py = new SharedInterpreter()) {
                    py.exec("import sys\n"
                            + "assert sys.flags.optimize == 2, sys.flags\n"
                            + "assert sys.dont_write_bytecode\n"
                            + "assert sys.flags.no_site == 1\n"
                            + "assert sys.flags.hash_randomization == 0\n"
                            + "assert sys.flags.isolated == 1\n"
                            + "assert sys.argv == ['a', '\\xe9', '\\U0001F600'], sys.argv");
                }
                try {
                    MainInterpreter.setConfig(new PyConfig());
                    System.out.println("setConfig after start did not throw");
                    System.exit(2);
                } catch (IllegalStateException expected) {
                    // as it should be
                }
                System.out.println("configured ok");
                break;
            }
            case "defaults": {
                try (Interpreter py = new SharedInterpreter()) {
                    py.exec("import sys\n"
                            + "assert sys.flags.optimize == 0\n"
                            + "assert sys.flags.no_site == 0\n"
                            + "assert not sys.dont_write_bytecode\n"
                            + "assert sys.flags.ignore_environment == 1\n"
                            + "assert sys.argv == [''], sys.argv\n"
                            + "import numpy");
                }
                System.out.println("defaults ok");
                break;
            }
            case "null-argv": {
                MainInterpreter.setConfig(new PyConfig().setArgv("a", null));
                try {
                    new SharedInterpreter();
                    System.out.println("no exception");
                    System.exit(2);
                } catch (IllegalStateException e) {
                    System.out.println("refused: " + e.getMessage());
                }
                if (MainInterpreter.isStarted()) {
                    System.exit(3);
                }
                MainInterpreter.setConfig(new PyConfig().setArgv("x"));
                try (Interpreter py = new SharedInterpreter()) {
                    py.exec("import sys\nassert sys.argv == ['x'], sys.argv");
                }
                System.out.println("retry ok");
                break;
            }
            case "exit": {
                // Python's own buffered output must not be lost when the process ends.
                try (Interpreter py = new SubInterpreter()) {
                    py.exec("print('before exit', end='')\nimport sys\nsys.exit(" + args[1] + ")");
                }
                System.out.println("not reached");
                break;
            }
            case "eval-output": {
                Interpreter py = new SharedInterpreter();
                py.exec("print('from exec')");
                py.eval("6 * 7");
                // No close, no Python finalisation: what eval printed must already be out.
                Runtime.getRuntime().halt(0);
                break;
            }
            case "bad-home": {
                // CPython's own initialisation fails: a second start says why it is refused.
                MainInterpreter.setConfig(new PyConfig().setHome("/nonexistent/kiv-home"));
                for (int i = 0; i < 2; i++) {
                    try {
                        new SharedInterpreter();
                        System.out.println("started");
                    } catch (IllegalStateException e) {
                        System.out.println("refused: " + e.getMessage());
                    }
                    MainInterpreter.setConfig(MainInterpreter.defaultConfig());
                }
                break;
            }
            case "faulthandler": {
                // faulthandler takes SIGSEGV, which the JVM needs for NullPointerExceptions.
                java.nio.file.Path dir = java.nio.file.Files.createTempDirectory("kiv-faulthandler");
                java.nio.file.Files.writeString(dir.resolve("test_npe.py"), String.join("\n",
                        "import faulthandler, _kiv",
                        "Fixtures = _kiv.findClass('kivtest.Fixtures')",
                        "def test_null_pointers_in_a_hot_loop():",
                        "    assert faulthandler.is_enabled()",
                        "    for _ in range(5):",
                        "        assert Fixtures.nullPointers(200000) == 199800",
                        ""));
                try (Interpreter py = new SharedInterpreter()) {
                    py.exec("import pytest\nrc = int(pytest.main(['-q', '-p', 'no:cacheprovider', "
                            + PythonLiterals.string(dir.toString()) + "]))");
                    System.out.println("pytest " + py.getValue("rc"));
                }
                // faulthandler loads in sub-interpreters that allow single-phase modules.
                try (Interpreter sub = new SubInterpreter(SubInterpreterOptions.legacy())) {
                    sub.exec("import faulthandler, _kiv\nfaulthandler.enable()\n"
                            + "n = _kiv.findClass('kivtest.Fixtures').nullPointers(500000)\nfaulthandler.disable()");
                    System.out.println("sub-interpreter " + sub.getValue("n"));
                }
                break;
            }
            case "quiet-errors": {
                // Errors that once printed on their way to Java, and lost their type.
                try (Interpreter py = new SharedInterpreter()) {
                    py.exec("import sys\nsys.setrecursionlimit(200)\ndef down():\n    return str(again)\n");
                    py.set("again", new kivtest.Fixtures.Callback(() -> String.valueOf(py.invoke("down"))));
                    py.set("bad", new kivtest.Fixtures.Thrower(kivtest.Fixtures.BadMessage::new));
                    for (String code : new String[] {"down()", "str(bad)"}) {
                        try {
                            py.exec(code);
                            System.err.println("no exception from " + code);
                        } catch (KivException e) {
                            System.err.println(e.getPythonTypeName() + " " + e.getMessage().length());
                        }
                    }
                }
                break;
            }
            case "proxy-threads-end": {
                // Threads that called proxies (whose Python code called Java) end while
                // the process goes on: what they kept per thread must go quietly.
                for (String kind : new String[] {"shared", "sub"}) {
                    Thread t = new Thread(() -> {
                        try (Interpreter py = kind.equals("shared") ? new SharedInterpreter() : new SubInterpreter()) {
                            py.exec("import _kiv\nSystem = _kiv.findClass('java.lang.System')\n"
                                    + "def tick():\n    System.nanoTime()\n"
                                    + "def inc(x):\n    return x + 1 + System.identityHashCode(None)");
                            Runnable tick = py.getValue("tick", Runnable.class);
                            @SuppressWarnings("unchecked")
                            java.util.function.Function<Object, Object> inc =
                                    py.getValue("inc", java.util.function.Function.class);
                            for (int i = 0; i < 1000; i++) {
                                tick.run();
                                inc.apply(i);
                            }
                            System.out.println(kind + " " + inc.apply(41));
                        }
                    });
                    t.start();
                    t.join();
                }
                System.gc();
                Thread.sleep(200);
                System.out.println("threads ended");
                break;
            }
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }
}
