package kivexamples;

import java.util.List;
import java.util.Map;

import kiv.Interpreter;
import kiv.SubInterpreter;
import kiv.python.PyCallable;

/** Calls Python functions with keyword arguments from Java. */
public final class KeywordsExample {
    private KeywordsExample() {
    }

    public static void main(String[] args) {
        run();
    }

    static void run() {
        try (Interpreter py = new SubInterpreter()) {
            py.exec(String.join("\n",
                    "import textwrap",
                    "def label(name, *, greeting='Hello', times=1, shout=False):",
                    "    text = ' '.join([f'{greeting}, {name}!'] * times)",
                    "    return text.upper() if shout else text",
                    ""));

            // Positional arguments only, then keywords as a Map: names to Java values.
            System.out.println(py.invoke("label", "Ada"));
            System.out.println(py.invoke("label", new Object[] {"Ada"}, Map.of("greeting", "Goodbye", "times", 2)));

            // The same through a handle on the function, with the result's type chosen.
            try (PyCallable label = py.getValue("label", PyCallable.class)) {
                String loud = label.callWithKeywords(String.class, new Object[] {"Grace"}, Map.of("shout", true));
                System.out.println(loud);
            }

            // A standard library function: textwrap.wrap(text, width=20, max_lines=2, placeholder=' ...')
            List<?> lines = (List<?>) py.invoke("textwrap.wrap",
                    new Object[] {"Keyword arguments travel from Java to Python as a Map of names to values."},
                    Map.of("width", 20, "max_lines", 2, "placeholder", " ..."));
            System.out.println(lines);

            // A keyword the function does not take is Python's TypeError.
            try {
                py.invoke("label", new Object[] {"Ada"}, Map.of("colour", "red"));
            } catch (kiv.KivException e) {
                System.out.println("refused: " + e.getMessage());
            }
        }
    }
}
