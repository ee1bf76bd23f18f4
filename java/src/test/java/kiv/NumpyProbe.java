package kiv;

import java.util.List;

/**
 * NumPy scenarios that need a fresh process; the first argument names one.
 * <ul>
 * <li>absent: run with a Python environment that has no NumPy. Conversions without
 * NumPy values work and never look for NumPy; a kiv.NDArray fails, message printed.
 * <li>legacy: NumPy loaded first by a legacy sub-interpreter works there.
 * </ul>
 */
public final class NumpyProbe {
    private NumpyProbe() {
    }

    /** Python code that records every module name the import system is asked for, in rec.asked. */
    static final String RECORD_IMPORTS = String.join("\n", "import sys", "class Recorder:", "    asked = []",
            "    def find_spec(self, name, path=None, target=None):", "        self.asked.append(name)",
            "rec = Recorder()", "sys.meta_path.insert(0, rec)", "");
    /** True in Python when nothing asked for NumPy since RECORD_IMPORTS ran. */
    static final String NUMPY_NOT_ASKED = "[n for n in rec.asked if 'numpy' in n] == [] and 'numpy' not in sys.modules";

    public static void main(String[] args) {
        if (args[0].equals("legacy")) {
            legacy();
        } else {
            absent();
        }
    }

    private static void legacy() {
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.legacy())) {
            py.exec("import warnings\nwarnings.simplefilter('ignore')");
            py.set("a", new NDArray(new short[] {1, 2, 3, 4}, 2, 2));
            py.exec("assert a.dtype.name == 'int16' and a[1, 0] == 3");
            NDArray twice = py.getValue("a * 2", NDArray.class);
            if (!java.util.Arrays.equals(new short[] {2, 4, 6, 8}, (short[]) twice.getData())) {
                throw new AssertionError(twice);
            }
        }
        System.out.println("legacy ok");
    }

    private static void absent() {
        try (Interpreter py = new SharedInterpreter()) {
            py.exec(RECORD_IMPORTS + "import _kiv\n"
                    + "assert _kiv.KIV_NUMPY_ENABLED == 1\n"
                    + "class MyFloat(float): pass\n");
            py.set("rows", List.of(1, 2));
            Object[] values = {py.getValue("MyFloat(1.5)"), py.getValue("{1, 2}"), py.getValue("bytearray(b'ab')"),
                py.getValue("rows"), py.getValue("[1, 'x', 2.5]")};
            if (!values[0].equals(1.5) || !(values[2] instanceof byte[]) || !values[3].equals(List.of(1, 2))) {
                throw new AssertionError(java.util.Arrays.toString(values));
            }
            py.exec("assert " + NUMPY_NOT_ASKED + ", rec.asked");
            System.out.println("plain conversions ok");
            try {
                py.set("a", new NDArray(new int[] {1, 2}));
                System.out.println("a kiv.NDArray reached Python without NumPy");
                System.exit(2);
            } catch (KivException e) {
                System.out.println(e.getMessage());
            }
            // the failure leaves the interpreter usable, and a second attempt fails alike
            py.exec("x = 1");
            try {
                py.set("a", new NDArray(new int[] {1, 2}));
                System.exit(3);
            } catch (KivException e) {
                System.out.println("again: " + e.getMessage());
            }
        }
    }
}
