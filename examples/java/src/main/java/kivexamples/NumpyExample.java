package kivexamples;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.DoubleBuffer;
import java.util.Arrays;

import kiv.DirectNDArray;
import kiv.Interpreter;
import kiv.NDArray;
import kiv.SharedInterpreter;

/** Hands Java's numbers to NumPy and gets NumPy's results back. */
public final class NumpyExample {
    private NumpyExample() {
    }

    public static void main(String[] args) {
        run();
    }

    static void run() {
        // Four days of temperature readings at three stations, one row per day.
        double[] readings = {
            12.1, 14.0, 9.5,
            13.4, 15.2, 10.1,
            11.8, 13.1, 8.7,
            14.9, 16.8, 11.6,
        };
        // NumPy loads into shared interpreters (the main interpreter), not isolated ones.
        try (Interpreter py = new SharedInterpreter()) {
            py.exec("import numpy as np");

            // The double[] becomes a 4 x 3 float64 ndarray (one copy).
            py.set("days", new NDArray(readings, 4, 3));
            py.exec("means = days.mean(axis=0)\n"
                    + "corr = np.corrcoef(days, rowvar=False)");

            // ndarrays come back as NDArrays: data in row-major order, and the shape.
            NDArray means = py.getValue("means", NDArray.class);
            NDArray corr = py.getValue("corr", NDArray.class);
            System.out.printf("mean per station: %s%n", Arrays.toString((double[]) means.getData()));
            int n = corr.getDimensions()[0];
            double[] c = (double[]) corr.getData();
            System.out.printf("correlation of stations (%d x %d):%n", n, corr.getDimensions()[1]);
            for (int i = 0; i < n; i++) {
                System.out.printf("  %6.3f %6.3f %6.3f%n", c[i * n], c[i * n + 1], c[i * n + 2]);
            }

            // A direct buffer is shared instead: NumPy writes straight into Java's memory.
            DoubleBuffer scaled = ByteBuffer.allocateDirect(8 * readings.length).order(ByteOrder.nativeOrder())
                    .asDoubleBuffer();
            py.set("out", new DirectNDArray(scaled, 4, 3));
            py.exec("np.multiply(days, 1.8, out=out)\nout += 32");
            System.out.printf("first day in Fahrenheit: %.2f %.2f %.2f%n", scaled.get(0), scaled.get(1), scaled.get(2));
        }
    }
}
