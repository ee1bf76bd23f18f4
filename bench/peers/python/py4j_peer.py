# Py4J: CPython talks to a JVM it starts, over a local socket (one round trip per call);
# the Python->Java loops of py2j.py.
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from py4j.java_gateway import GatewayParameters, JavaGateway, launch_gateway, set_field  # noqa: E402
import py2j  # noqa: E402

port = launch_gateway(die_on_exit=True)
gateway = JavaGateway(gateway_parameters=GatewayParameters(port=port, auto_convert=True))


def jclass(name):
    found = gateway.jvm
    for part in name.split("."):
        found = getattr(found, part)
    return found


try:
    py2j.run(jclass, int(os.environ["PEERS_BATCH_NS"]), int(os.environ["PEERS_WARMUP_NS"]),
             set_field=set_field, skip=os.environ.get("PEERS_SKIP", ""))
finally:
    gateway.shutdown()
