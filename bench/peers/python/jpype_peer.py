# JPype: CPython drives the JVM; the Python->Java loops of py2j.py plus its threads.
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import jpype  # noqa: E402
import py2j  # noqa: E402

jpype.startJVM()
# append(int) is ambiguous for a Python int here (boolean, char, Object): the loop passes
# a Java int made once.
py2j.run(jpype.JClass, int(os.environ["PEERS_BATCH_NS"]), int(os.environ["PEERS_WARMUP_NS"]),
         int_arg=jpype.JInt(1), with_threads=True, skip=os.environ.get("PEERS_SKIP", ""))
