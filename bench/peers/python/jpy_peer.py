# jpy: CPython drives the JVM; the Python->Java loops of py2j.py plus its threads.
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import jpy  # noqa: E402
import py2j  # noqa: E402

jpy.create_jvm(["-Xmx1g"])
py2j.run(jpy.get_type, int(os.environ["PEERS_BATCH_NS"]), int(os.environ["PEERS_WARMUP_NS"]),
         with_threads=True, skip=os.environ.get("PEERS_SKIP", ""))
