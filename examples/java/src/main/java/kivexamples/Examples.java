package kivexamples;

import java.util.LinkedHashMap;
import java.util.Map;

/**
 * Runs the examples named on the command line, or all of them: {@code numpy},
 * {@code keywords}, {@code traceback}, {@code pool}.
 */
public final class Examples {
    private Examples() {
    }

    public static void main(String[] args) throws Exception {
        Map<String, Example> examples = new LinkedHashMap<>();
        examples.put("numpy", NumpyExample::run);
        examples.put("keywords", KeywordsExample::run);
        examples.put("traceback", TracebackExample::run);
        examples.put("pool", PoolExample::run);
        String[] chosen = args.length == 0 || args[0].equals("all") ? examples.keySet().toArray(new String[0]) : args;
        for (String name : chosen) {
            Example example = examples.get(name);
            if (example == null) {
                System.err.println("no example \"" + name + "\"; there are: all " + String.join(" ", examples.keySet()));
                System.exit(2);
            }
            System.out.println("== " + name);
            example.run();
        }
    }

    @FunctionalInterface
    interface Example {
        void run() throws Exception;
    }
}
