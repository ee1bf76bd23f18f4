"""Hello from CPython running inside the JVM.

Run it with:  bin/kiv examples/hello.py [NAME]
"""
import platform
import sys

import numpy as np


def main(argv):
    name = argv[1] if len(argv) > 1 else "world"
    print(f"Hello, {name}, from Python {platform.python_version()} inside a Java virtual machine")
    print(f"  sys.executable = {sys.executable}")

    # An extension module from the virtual environment works as it does in plain Python.
    grid = np.arange(12, dtype=np.float64).reshape(3, 4)
    print(f"  NumPy {np.__version__}: the column sums of a 3x4 grid are {grid.sum(axis=0).tolist()}")

    # Errors are ordinary Python exceptions.
    try:
        int("not a number")
    except ValueError as e:
        print(f"  caught ValueError: {e}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
