#!/usr/bin/env bash
# Kiv next to other Java/Python bridges: the same operations, the same loop and timer,
# in interleaved rounds, then one table of medians.
#
#   bench/peers/run.sh [--rounds N] [--peers kiv,pemja,jpype,jpy,graalpy,jython,py4j]
#   bench/peers/run.sh --report DIR [DIR...]   (the table again, from build/peers/results/
#                                               folders; several folders pool their rounds)
#
# Installs the other bridges at run time from PyPI and Maven Central into build/peers/
# (never committed): a CPython 3.12 virtual environment for the pip packages, jars from
# Maven. Each bridge is optional: one that cannot be installed, compiled or run is
# reported and skipped. Kiv is built with bin/setup and run from its own jar.
#
# Environment: PEERS_BATCH_MS (100) and PEERS_WARMUP_MS (1000) set the loop (see
# java/Harness.java); PEERS_JIT_WARMUP_MS (10000) is the warm-up of GraalPy, whose
# compiler works in the background and needs longer; JAVA17_HOME and JAVA25_HOME pick the
# JDKs (default: the ones under /usr/lib/jvm). Output: the table on stdout, and every
# round's raw lines with the report in build/peers/results/<date-time>/.
# Not part of bin/test.
set -uo pipefail

ROOT="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../.." && pwd)"
HERE="$ROOT/bench/peers"
WORK="$ROOT/build/peers"
ROUNDS=3
REPORT_ONLY=()
PEERS="kiv,pemja,jpype,jpy,graalpy,jython,py4j"

while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --peers) PEERS="$2"; shift 2 ;;
    --report) shift; REPORT_ONLY=("$@"); break ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

BATCH_MS="${PEERS_BATCH_MS:-100}"
WARMUP_MS="${PEERS_WARMUP_MS:-1000}"
JIT_WARMUP_MS="${PEERS_JIT_WARMUP_MS:-10000}"

PEMJA_VERSION=0.5.5
JPYPE_VERSION=1.7.1
JPY_VERSION=2.2.0
PY4J_VERSION=0.10.9.9
JYTHON_VERSION=2.7.4
GRAALPY_VERSION=25.0.1

first_dir() { for d in "$@"; do [ -x "$d/bin/java" ] && { echo "$d"; return 0; }; done; return 1; }
JAVA17="${JAVA17_HOME:-$(first_dir /usr/lib/jvm/java-17-openjdk-amd64 /usr/lib/jvm/java-17-openjdk* /usr/lib/jvm/*17* || true)}"
JAVA25="${JAVA25_HOME:-$(first_dir /usr/lib/jvm/temurin-25* /usr/lib/jvm/*25* || true)}"

STAMP="$(date -u +%Y%m%d-%H%M%S)"
OUT="$WORK/results/$STAMP"
mkdir -p "$OUT" "$WORK/classes" "$WORK/jars"
SKIPPED="$OUT/skipped.txt"
: > "$SKIPPED"

say() { echo "peers: $*" >&2; }
skip() { say "skipping $1: $2"; echo "$1: $2" >> "$SKIPPED"; }
want() { [[ ",$PEERS," == *",$1,"* ]]; }

# The report of one results folder (also saved as <folder>/report.md) or of several
# pooled, in Markdown on stdout.
report() {
  local dir out=/dev/null
  [ $# -eq 1 ] && out="$1/report.md"
  {
    if [ $# -eq 1 ]; then
      sed 's/^/- /' "$1/about.txt"
    else
      grep -v '^date: \|^command: ' "$1/about.txt" | sed 's/^/- /'
      echo "- runs pooled: $#, each \`bench/peers/run.sh\`; the table: \`bench/peers/run.sh --report\` with their folders"
    fi
    for dir in "$@"; do
      echo
      if [ $# -eq 1 ]; then echo "Load (uptime):"; else echo "Run $(basename "$dir"), load (uptime):"; fi
      echo
      sed 's/^/- /' "$dir/load.txt"
      if [ -s "$dir/skipped.txt" ]; then
        echo
        echo "Not run:"
        echo
        sed 's/^/- /' "$dir/skipped.txt"
      fi
    done
    echo
    python3 "$HERE/table.py" "$@"
  } | tee "$out"
}

if [ ${#REPORT_ONLY[@]} -gt 0 ]; then
  report "${REPORT_ONLY[@]}"
  exit 0
fi

# ---------------------------------------------------------------- set-up
READY=()

if [ -z "$JAVA17" ] || [ ! -x "$JAVA17/bin/javac" ]; then
  say "no JDK 17 found (set JAVA17_HOME)"; exit 1
fi
export JAVA_HOME="$JAVA17"
export PATH="$JAVA17/bin:$PATH"

compile_peer() {  # peer class javac [javac options...]: the harness of one bridge
  local peer="$1" class="$2" javac="$3"
  shift 3
  if "$javac" -d "$WORK/classes/$peer" "$@" "$HERE/java/Harness.java" "$HERE/java/$class.java" \
       >>"$OUT/setup-$peer.log" 2>&1; then
    READY+=("$peer")
  else
    skip "$peer" "compile failed (see $OUT/setup-$peer.log)"
  fi
}

if want kiv; then
  if "$ROOT/bin/setup" --if-needed >"$OUT/setup-kiv.log" 2>&1 \
     && KIV_CP="$("$ROOT/bin/kiv" --classpath 2>>"$OUT/setup-kiv.log")"; then
    compile_peer kiv KivPeer javac -cp "$KIV_CP"
  else
    skip kiv "build failed (see $OUT/setup-kiv.log)"
  fi
fi

# The same CPython 3.12 that Kiv embeds, for the pip-installed bridges.
BASE_PY=""
if [ -x "$ROOT/.venv/bin/python3.12" ]; then
  BASE_PY="$("$ROOT/.venv/bin/python3.12" -c 'import sys; print(sys._base_executable)')"
else
  BASE_PY="$(command -v python3.12 || true)"
fi
VENV="$WORK/venv"
VPY="$VENV/bin/python"
pip_peer() {  # name requirement
  if [ ! -x "$VPY" ]; then skip "$1" "no CPython 3.12 virtual environment"; return 1; fi
  if "$VPY" -m pip install --quiet --disable-pip-version-check "$2" >>"$OUT/setup-pip.log" 2>&1; then
    return 0
  fi
  skip "$1" "pip install $2 failed (see $OUT/setup-pip.log)"; return 1
}
if want pemja || want jpype || want jpy || want py4j; then
  if [ -n "$BASE_PY" ] && { [ -x "$VPY" ] || "$BASE_PY" -m venv "$VENV" >"$OUT/setup-pip.log" 2>&1; }; then
    "$VPY" -m pip install --quiet --disable-pip-version-check -r "$ROOT/python-requirements.txt" \
      >>"$OUT/setup-pip.log" 2>&1 || say "NumPy did not install in $VENV"
  else
    say "no CPython 3.12 for the pip-installed bridges"
  fi
fi
SITE="$VENV/lib/python3.12/site-packages"

maven_jar() {  # group:artifact:version -> prints the jar path
  local coords="$1" name
  name="$(echo "$coords" | cut -d: -f2)-$(echo "$coords" | cut -d: -f3).jar"
  if [ ! -f "$WORK/jars/$name" ]; then
    mvn -q -B dependency:copy -Dartifact="$coords" -DoutputDirectory="$WORK/jars" >>"$OUT/setup-maven.log" 2>&1 || return 1
  fi
  echo "$WORK/jars/$name"
}

if want pemja && pip_peer pemja "pemja==$PEMJA_VERSION"; then
  if PEMJA_JAR="$(maven_jar com.alibaba:pemja:$PEMJA_VERSION)"; then
    compile_peer pemja PemjaPeer javac -cp "$PEMJA_JAR"
  else
    skip pemja "Maven com.alibaba:pemja:$PEMJA_VERSION did not resolve (see $OUT/setup-maven.log)"
  fi
fi
want jpype && pip_peer jpype "jpype1==$JPYPE_VERSION" && READY+=(jpype)
want jpy && pip_peer jpy "jpy==$JPY_VERSION" && READY+=(jpy)
want py4j && pip_peer py4j "py4j==$PY4J_VERSION" && READY+=(py4j)

if want jython; then
  if JYTHON_JAR="$(maven_jar org.python:jython-standalone:$JYTHON_VERSION)"; then
    compile_peer jython JythonPeer javac -cp "$JYTHON_JAR"
  else
    skip jython "Maven org.python:jython-standalone:$JYTHON_VERSION did not resolve (see $OUT/setup-maven.log)"
  fi
fi

GRAAL_MODULES="$WORK/graalpy/modules"
GRAAL_COMPILER=""
if want graalpy; then
  if [ -z "$JAVA25" ] || [ ! -x "$JAVA25/bin/javac" ]; then
    skip graalpy "no JDK 25 found at '${JAVA25:-/usr/lib/jvm/*25*}' (set JAVA25_HOME): its JIT needs one"
  elif { [ -f "$GRAAL_MODULES/polyglot-$GRAALPY_VERSION.jar" ] || mvn -q -B -f "$HERE/graalpy-pom.xml" \
           -Dgraalpy.version="$GRAALPY_VERSION" dependency:copy-dependencies -DexcludeTypes=pom \
           -DoutputDirectory="$GRAAL_MODULES" >>"$OUT/setup-maven.log" 2>&1; } \
       && GRAAL_COMPILER="$(maven_jar org.graalvm.compiler:compiler:$GRAALPY_VERSION)"; then
    compile_peer graalpy GraalPyPeer "$JAVA25/bin/javac" -p "$GRAAL_MODULES" --add-modules org.graalvm.polyglot
  else
    skip graalpy "Maven org.graalvm.polyglot $GRAALPY_VERSION or its compiler did not resolve (see $OUT/setup-maven.log)"
  fi
fi

if [ ${#READY[@]} -eq 0 ]; then
  say "nothing to run"; exit 1
fi

# ---------------------------------------------------------------- one bridge, one round
launch() {  # peer: one process of the bridge's harness, lines on stdout
  local peer="$1" batch_ns=$((BATCH_MS * 1000000)) warm_ns=$((WARMUP_MS * 1000000))
  local limit=(timeout 3600) crash=(-XX:ErrorFile="$OUT/hs_err_pid%p.log")
  case "$peer" in
    kiv)
      PEERS_BATCH_MS=$BATCH_MS PEERS_WARMUP_MS=$WARMUP_MS "${limit[@]}" "$JAVA17/bin/java" "${crash[@]}" \
        --enable-native-access=ALL-UNNAMED -Dkiv.python.executable="$ROOT/.venv/bin/python3.12" \
        -Dpeers.py2j="$HERE/py2j.py" -cp "$KIV_CP:$WORK/classes/kiv" KivPeer ;;
    pemja)
      PEERS_BATCH_MS=$BATCH_MS PEERS_WARMUP_MS=$WARMUP_MS "${limit[@]}" "$JAVA17/bin/java" "${crash[@]}" \
        -Dpeers.python="$VPY" -Dpeers.site="$SITE" -Dpeers.py2j="$HERE/py2j.py" \
        -cp "$PEMJA_JAR:$WORK/classes/pemja" PemjaPeer ;;
    jython)
      PEERS_BATCH_MS=$BATCH_MS PEERS_WARMUP_MS=$WARMUP_MS "${limit[@]}" "$JAVA17/bin/java" "${crash[@]}" \
        -Dpeers.py2j="$HERE/py2j.py" -cp "$JYTHON_JAR:$WORK/classes/jython" JythonPeer ;;
    graalpy)
      PEERS_BATCH_MS=$BATCH_MS PEERS_WARMUP_MS=$JIT_WARMUP_MS "${limit[@]}" "$JAVA25/bin/java" "${crash[@]}" \
        -XX:+UnlockExperimentalVMOptions -XX:+EnableJVMCI --upgrade-module-path="$GRAAL_COMPILER" \
        -p "$GRAAL_MODULES" --add-modules org.graalvm.polyglot --enable-native-access=org.graalvm.truffle \
        --sun-misc-unsafe-memory-access=allow -Dpeers.py2j="$HERE/py2j.py" \
        -cp "$WORK/classes/graalpy" GraalPyPeer ;;
    jpype|jpy|py4j)
      # The JVM runs inside this process: a crash report lands in the working folder ($OUT).
      PEERS_BATCH_NS=$batch_ns PEERS_WARMUP_NS=$warm_ns LD_LIBRARY_PATH="$JAVA17/lib/server" \
        "${limit[@]}" "$VPY" "$HERE/python/${peer}_peer.py" ;;
  esac
}

# Runs a bridge for one round. A process that ends early (a crash, the time limit) leaves
# a START line without its result: that operation is reported as failed and the bridge
# starts again, skipping it and everything already reported.
run_peer() {  # peer round
  local peer="$1" file="$OUT/r$2-$1.txt" log="$OUT/r$2-$1.log" skip="" rc crashed tries=0
  : >"$file"
  : >"$log"
  while :; do
    (cd "$OUT" && PEERS_SKIP="$skip" launch "$peer") >>"$file" 2>>"$log"
    rc=$?
    [ $rc -eq 0 ] && break
    crashed="$(awk '/^START /{open[++n]=$2}
                    /^(RESULT|FAIL|SKIP|END) /{for (i = n; i > 0; i--) if (open[i] == $2) {open[i] = ""; break}}
                    END{for (i = n; i > 0; i--) if (open[i] != "") {print open[i]; exit}}' "$file")"
    if [ -z "$crashed" ] || [ $((tries += 1)) -gt 20 ]; then
      say "$peer, round $2: exit status $rc (see $log)"
      echo "FAIL run exit status $rc: $(grep -v '^\s*$' "$log" | tail -n 1 | cut -c1-160)" >>"$file"
      break
    fi
    say "$peer, round $2: the process ended (status $rc) during $crashed; going on without it"
    echo "FAIL $crashed ended the process (exit status $rc; see $(basename "$log"))" >>"$file"
    skip="$(awk '/^(RESULT|FAIL|SKIP) /{print $2}' "$file" | sort -u | paste -sd, -)"
  done
}

# ---------------------------------------------------------------- rounds
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "kiv: native/ and java/ as of commit $(git -C "$ROOT" log -1 --format=%h -- native java 2>/dev/null)$(git -C "$ROOT" diff HEAD --quiet -- native java 2>/dev/null || echo ', with uncommitted changes')"
  echo "CPython: $("$ROOT/.venv/bin/python3.12" -c 'import sys, numpy; print(sys.version.split()[0], "NumPy", numpy.__version__)' 2>/dev/null)"
  echo "JDK 17: $("$JAVA17/bin/java" -version 2>&1 | sed -n 2p)"
  [ -n "$JAVA25" ] && echo "JDK 25: $("$JAVA25/bin/java" -version 2>&1 | sed -n 2p)"
  for p in pemja jpype1 jpy py4j; do
    [ -x "$VPY" ] && "$VPY" -m pip show "$p" 2>/dev/null | awk -v p="$p" '/^Version:/ {print p ": pip " $2}'
  done
  [ -n "${PEMJA_JAR:-}" ] && echo "pemja jar: $(basename "$PEMJA_JAR")"
  [ -n "${JYTHON_JAR:-}" ] && echo "jython: $(basename "$JYTHON_JAR")"
  [ -n "$GRAAL_COMPILER" ] && echo "graalpy: org.graalvm.polyglot $GRAALPY_VERSION, JIT $(basename "$GRAAL_COMPILER")"
  echo "loop: batch ${BATCH_MS} ms, warm-up ${WARMUP_MS} ms (GraalPy ${JIT_WARMUP_MS} ms), median of 5 batches per round"
  echo "command: bench/peers/run.sh --rounds $ROUNDS --peers $(IFS=,; echo "${READY[*]}")"
} >"$OUT/about.txt"

say "running ${READY[*]}: $ROUNDS rounds, results in $OUT"
for ((r = 1; r <= ROUNDS; r++)); do
  echo "round $r start: $(uptime | sed 's/^ *//')" >>"$OUT/load.txt"
  # Each round starts one bridge later, so none always runs first or last.
  n=${#READY[@]}
  for ((i = 0; i < n; i++)); do
    peer="${READY[$(((i + r - 1) % n))]}"
    say "round $r/$ROUNDS: $peer"
    run_peer "$peer" "$r"
  done
done
echo "end: $(uptime | sed 's/^ *//')" >>"$OUT/load.txt"

report "$OUT"
