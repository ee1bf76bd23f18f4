package kiv;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

import org.jline.reader.Candidate;
import org.jline.reader.CompletingParsedLine;
import org.jline.reader.EndOfFileException;
import org.jline.reader.LineReader;
import org.jline.reader.LineReaderBuilder;
import org.jline.reader.ParsedLine;
import org.jline.reader.Parser;
import org.jline.reader.UserInterruptException;
import org.jline.terminal.Terminal;
import org.jline.terminal.TerminalBuilder;

/**
 * The interactive console of the {@code kiv} command: python's prompt, read through a
 * terminal line editor. Lines are edited and recalled (the history is kept in
 * {@code ~/.kiv_history}, or the file {@code KIV_HISTORY} names; an empty
 * {@code KIV_HISTORY} keeps none), Tab completes names and attributes as Python's
 * {@code rlcompleter} does (and indents on an empty line), and whether a statement goes
 * on to a {@code ...} line is decided by {@code codeop}, as in python. Ctrl-C drops the
 * line being typed, or raises {@code KeyboardInterrupt} in the code that runs; Ctrl-D on
 * an empty line ends the console.
 *
 * <p>Code runs in {@code __main__} of the main interpreter, on the thread that started
 * Python, which is the one thread whose running code Ctrl-C can interrupt.
 */
final class Console {
    static final String PS1 = ">>> ";
    static final String PS2 = "... ";

    private final Interpreter python;

    private Console(Interpreter python) {
        this.python = python;
    }

    /**
     * Runs the console until Ctrl-D or {@code SystemExit}, in {@code __main__} of the
     * interpreter of {@code python}, and returns the exit status. The terminal is given
     * back before this returns.
     */
    static int run(Interpreter python) throws IOException {
        PythonModules.load(python, "_kivmain", "_kivmain.py");
        python.exec("import _kivmain as _kiv_m\n_kiv_console = _kiv_m.Console()\ndel _kiv_m\n");
        // Ctrl-C while code runs, when the JVM owns SIGINT: the terminal sees the signal
        // and this handler turns it into KeyboardInterrupt. While a line is read, the
        // line editor takes Ctrl-C itself.
        try (Terminal terminal = TerminalBuilder.builder().name("kiv").system(true).dumb(true)
                .signalHandler(signal -> {
                    if (signal == Terminal.Signal.INT) {
                        python.interrupt();
                    }
                }).build()) {
            // When Python has the SIGINT handler (the JVM leaves SIGINT alone, as bin/kiv
            // asks with -Xrs), Ctrl-C at the prompt reaches the line editor this way.
            Thread relay = new Thread(() -> {
                while (MainInterpreter.consoleInterrupts()) {
                    terminal.raise(Terminal.Signal.INT);
                }
            }, "kiv-console-interrupts");
            relay.setDaemon(true);
            relay.start();
            return new Console(python).loop(terminal);
        }
    }

    private int loop(Terminal terminal) {
        LineReaderBuilder builder = LineReaderBuilder.builder().terminal(terminal).appName("kiv")
                .parser(new WordParser()).completer(this::complete)
                .option(LineReader.Option.DISABLE_EVENT_EXPANSION, true) // '!' is Python, not history
                .option(LineReader.Option.INSERT_TAB, true)
                .option(LineReader.Option.HISTORY_INCREMENTAL, true)
                .option(LineReader.Option.HISTORY_IGNORE_SPACE, false) // indented lines of a block too,
                .option(LineReader.Option.HISTORY_REDUCE_BLANKS, false) // as they were typed
                .variable(LineReader.HISTORY_SIZE, 1000)
                .variable(LineReader.HISTORY_FILE_SIZE, 1000);
        Path history = historyFile();
        if (history != null) {
            builder.variable(LineReader.HISTORY_FILE, history);
        }
        LineReader reader = builder.build();
        PrintWriter out = terminal.writer();
        out.println(banner());
        out.flush();
        String prompt = PS1;
        while (true) {
            String line;
            MainInterpreter.consoleReading(true);
            try {
                line = reader.readLine(prompt);
            } catch (UserInterruptException e) {
                python.invoke("_kiv_console.interrupted");
                prompt = PS1;
                continue;
            } catch (EndOfFileException e) {
                out.println();
                out.flush();
                return 0;
            } finally {
                MainInterpreter.consoleReading(false);
            }
            String answer;
            try {
                answer = (String) python.invoke("_kiv_console.push", line);
            } catch (KivException e) {
                // The console's own code failed, e.g. a KeyboardInterrupt that came just
                // before or after the statement ran.
                System.err.println(Main.describe(e));
                System.err.flush();
                python.invoke("_kiv_console.resetbuffer");
                answer = "done";
            }
            switch (answer) {
                case "more":
                    prompt = PS2;
                    break;
                case "exit":
                    return python.getValue("_kiv_console.exit_code", Integer.class);
                default:
                    prompt = PS1;
            }
        }
    }

    /** One line: the versions of Python, Kiv and Java. */
    String banner() {
        String pythonVersion = python.getValue("__import__('sys').version.split()[0]", String.class);
        return "Python " + pythonVersion + " on Kiv " + Main.version() + ", Java " + System.getProperty("java.version")
                + " (" + System.getProperty("java.vm.name") + ")";
    }

    private void complete(LineReader reader, ParsedLine line, List<Candidate> candidates) {
        String word = line.word();
        List<?> matches;
        try {
            matches = python.invoke("_kiv_console.complete", word) instanceof List<?> l ? l : List.of();
        } catch (KivException e) {
            return; // nothing to offer, as python's completer does when evaluation fails
        }
        for (Object m : matches) {
            String value = String.valueOf(m);
            // Not "complete": no space is added after a name, so that "." or "(" can follow.
            candidates.add(new Candidate(value, value, null, null, null, null, false));
        }
    }

    /** The history file: KIV_HISTORY if set (empty: none), else ~/.kiv_history. */
    static Path historyFile() {
        String env = System.getenv("KIV_HISTORY");
        if (env != null) {
            return env.isEmpty() ? null : Path.of(env);
        }
        return Path.of(System.getProperty("user.home"), ".kiv_history");
    }

    /**
     * Splits a line for completion as Python's readline completer does: the word is the
     * name or dotted path that ends at the cursor. Never asks for more input: whether a
     * statement goes on is codeop's decision, made after the line is accepted.
     */
    static final class WordParser implements Parser {
        @Override
        public ParsedLine parse(String line, int cursor, ParseContext context) {
            int start = cursor;
            while (start > 0 && isWordChar(line.charAt(start - 1))) {
                start--;
            }
            String word = line.substring(start, cursor);
            List<String> words = new ArrayList<>();
            words.add(line.substring(0, start));
            words.add(word);
            int wordStart = start;
            return new CompletingParsedLine() {
                @Override
                public String word() {
                    return word;
                }

                @Override
                public int wordCursor() {
                    return cursor - wordStart;
                }

                @Override
                public int wordIndex() {
                    return 1;
                }

                @Override
                public List<String> words() {
                    return words;
                }

                @Override
                public String line() {
                    return line;
                }

                @Override
                public int cursor() {
                    return cursor;
                }

                @Override
                public CharSequence escape(CharSequence candidate, boolean complete) {
                    return candidate; // Python names need no quoting
                }

                @Override
                public int rawWordCursor() {
                    return cursor - wordStart;
                }

                @Override
                public int rawWordLength() {
                    return word.length();
                }
            };
        }

        private static boolean isWordChar(char c) {
            return c == '.' || c == '_' || Character.isLetterOrDigit(c);
        }
    }
}
