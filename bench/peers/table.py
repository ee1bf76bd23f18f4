"""Turns the per-round outputs of bench/peers/run.sh into one Markdown table.

    python3 table.py RESULTS_DIR [RESULTS_DIR...]

A RESULTS_DIR holds r<round>-<peer>.txt files of RESULT/FAIL/SKIP lines; the rounds of
several folders are pooled. Each cell is the median over the rounds that gave a figure;
the lines under the table say how a bridge did an operation where that differs, how far
apart the rounds were, and what failed.
"""
import os
import re
import statistics
import sys

PEERS = [("kiv", "Kiv"), ("pemja", "PEMJA"), ("jpype", "JPype"), ("jpy", "jpy"),
         ("graalpy", "GraalPy"), ("jython", "Jython"), ("py4j", "Py4J")]

OPS = [
    ("invoke2", 'Java->Python `invoke("f", 1, 2)`'),
    ("invoke0", 'Java->Python `invoke("g")`, no arguments'),
    ("exec", '`exec("x = 1")`'),
    ("eval", '`getValue("x + 1")` (eval)'),
    ("list100k", "a 100,000-int list as a `java.util.List`"),
    ("ndarray", "1M float64 ndarray as `double[]`"),
    ("shared_life", "shared interpreter: create + close"),
    ("isolated_life", "isolated interpreter: create + close"),
    ("py_len", "plain Python `pylist.__len__()`, for scale"),
    ("size", "Python->Java `lst.size()`"),
    ("abs", "`Math.abs(-1.5)`"),
    ("new", "`ArrayList()`"),
    ("static_field", "`Integer.MAX_VALUE`"),
    ("field_write", "instance field write `p.x = i`"),
    ("append2", "`sb.append(1).append(1)`, two calls"),
    ("work1", "pure Python, 200,000 additions, one thread"),
    ("threads2", "two threads of pure Python: speed-up"),
]

# How a bridge did an operation, where it is not the plain call the row names.
NOTES = {
    ("kiv", "shared_life"): "a `SharedInterpreter`",
    ("kiv", "isolated_life"): "a `SubInterpreter` (own interpreter lock)",
    ("kiv", "threads2"): "one isolated `SubInterpreter` per thread",
    ("pemja", "eval"): 'no expression evaluation: `exec("y = x + 1")` then `get("y")`',
    ("pemja", "ndarray"): "the array comes back opaque: `arr.tobytes()` as `byte[]`, read as doubles",
    ("pemja", "size"): "on an `ArrayDeque`: Java lists arrive in Python as Python lists",
    ("pemja", "new"): "the new `ArrayList` arrives as a Python list",
    ("pemja", "shared_life"): "exec type MULTI_THREAD",
    ("pemja", "isolated_life"): "exec type SUB_INTERPRETER",
    ("pemja", "threads2"): "one SUB_INTERPRETER interpreter per thread",
    ("jpype", "append2"): "a `JInt(1)` argument: a Python int is ambiguous for `append` here",
    ("jpype", "threads2"): "two Python threads in one CPython",
    ("jpy", "threads2"): "two Python threads in one CPython",
    ("graalpy", "invoke2"): '`getMember("f").execute(1, 2)` on the bindings',
    ("graalpy", "invoke0"): '`getMember("g").execute()` on the bindings',
    ("graalpy", "list100k"): "`as(List.class)` is a live view: copied into an `ArrayList`",
    ("graalpy", "isolated_life"): "a new `Context` on the shared `Engine`, initialised",
    ("graalpy", "threads2"): "one `Context` per thread, one shared `Engine`",
    ("jython", "invoke2"): '`get("f").__call__(...)`, result `__tojava__`',
    ("jython", "invoke0"): '`get("g").__call__()`',
    ("jython", "list100k"): "a Python list is a live `java.util.List`: copied into an `ArrayList`",
    ("jython", "shared_life"): "a `PythonInterpreter` on the process-wide system state",
    ("jython", "isolated_life"): "a `PythonInterpreter` with a new `PySystemState`",
    ("jython", "work1"): "`xrange` (Python 2's `range` builds a list)",
    ("jython", "threads2"): "one `PythonInterpreter` per thread (no interpreter lock)",
    ("py4j", "field_write"): "`set_field(p, 'x', i)`: `p.x = i` would bind a Python attribute",
}

LINE = re.compile(r"^(RESULT|FAIL|SKIP|INFO) (\S+) ?(.*)$")


def fmt(key, value):
    if key == "threads2":
        return "%.2fx" % value
    for limit, scale, unit in ((1e3, 1, "ns"), (1e6, 1e3, "us"), (float("inf"), 1e6, "ms")):
        if value < limit:
            shown = value / scale
            return ("%.1f %s" if shown < 100 else "%.0f %s") % (shown, unit)


def main(folders):
    values, problems, rounds, info = {}, {}, set(), {}
    for folder, name in sorted((f, n) for f in folders for n in os.listdir(f)):
        m = re.match(r"r(\d+)-(\w+)\.txt$", name)
        if not m:
            continue
        rounds.add((folder, int(m.group(1))))
        peer = m.group(2)
        with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
            for line in f:
                lm = LINE.match(line.strip())
                if not lm:
                    continue
                kind, key, rest = lm.groups()
                if kind == "RESULT":
                    try:
                        values.setdefault((peer, key), []).append(float(rest))
                    except ValueError:
                        pass
                elif kind == "INFO":
                    info.setdefault((peer, key), set()).add(rest)
                else:
                    where = "%s round %s" % (os.path.basename(os.path.normpath(folder)), m.group(1))
                    problems.setdefault((peer, key, kind), []).append((where, rest))
    ran = [(p, label) for p, label in PEERS if any(k[0] == p for k in values)]
    if not ran:
        print("no results in " + " ".join(folders))
        return 1
    marks, notes = {}, []
    for peer, _ in ran:
        for key, _ in OPS:
            if (peer, key) in NOTES and (peer, key) in values:
                if NOTES[(peer, key)] not in notes:
                    notes.append(NOTES[(peer, key)])
                marks[(peer, key)] = notes.index(NOTES[(peer, key)]) + 1
    print("| operation | " + " | ".join(label for _, label in ran) + " |")
    print("|---|" + "---:|" * len(ran))
    for key, label in OPS:
        cells = []
        for peer, _ in ran:
            got = values.get((peer, key))
            if not got:
                cells.append("-")
                continue
            cell = fmt(key, statistics.median(got))
            if (peer, key) in marks:
                cell += " [%d]" % marks[(peer, key)]
            cells.append(cell)
        print("| " + label + " | " + " | ".join(cells) + " |")
    print()
    print("Medians of %d interleaved rounds, per operation.%s" % (len(rounds), " Notes:" if notes else ""))
    if notes:
        print()
    for i, note in enumerate(notes, 1):
        print("- [%d] %s" % (i, note))
    labels = dict(PEERS)
    ops = dict(OPS)
    full, middle = [], []
    for (peer, key), got in values.items():
        if len(got) > 1 and min(got) > 0 and key != "threads2":
            got = sorted(got)
            full.append(got[-1] / got[0])
            middle.append(got[(3 * len(got)) // 4 - (len(got) % 4 == 0)] / got[len(got) // 4])
    if full:
        print()
        print("Spread between rounds, over %d cells: a cell's slowest round took a median %.1fx its"
              " fastest; its upper-quartile round, a median %.1fx its lower-quartile one."
              % (len(full), statistics.median(full), statistics.median(middle)))
    if info:
        print()
        for (peer, key), texts in sorted(info.items()):
            print("%s %s: %s" % (labels.get(peer, peer), key, ", ".join(sorted(texts))))
    gaps = []
    for (peer, key, kind), seen in sorted(problems.items()):
        if kind == "FAIL" or key not in ops:
            gaps.append("%s %s, %s in %d of %d rounds (%s): %s" % (
                labels.get(peer, peer), key, "failed" if kind == "FAIL" else "skipped", len(seen),
                len(rounds), ", ".join(w for w, _ in seen), seen[0][1]))
    if gaps:
        print()
        print("Failed or not run:")
        print()
        for g in gaps:
            print("- " + g)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
