"""Hello from CPython running inside the JVM, using Java from Python.

Run it with:  bin/kiv examples/hello.py [NAME]
"""
import sys

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
HashMap = _kiv.findClass('java.util.HashMap')
Collections = _kiv.findClass('java.util.Collections')
String = _kiv.findClass('java.lang.String')
StringBuilder = _kiv.findClass('java.lang.StringBuilder')
Integer = _kiv.findClass('java.lang.Integer')
System = _kiv.findClass('java.lang.System')


def main(argv):
    name = argv[1] if len(argv) > 1 else 'world'
    print(f"Hello, {name}, from Python {sys.version.split()[0]} inside Java {System.getProperty('java.version')}")

    # A Java collection, filled and sorted from Python.
    words = ArrayList()
    for w in ('pear', 'fig', 'apple', 'kiwi'):
        words.add(w)
    Collections.sort(words)
    print(f"  java.util.ArrayList sorted by Collections.sort: {words}")

    # Java maps and strings; the Java values come back as Python values.
    lengths = HashMap()
    for i in range(words.size()):
        word = words.get(i)
        lengths.put(word, len(word))
    print(f"  a java.util.HashMap of word lengths: {lengths}, 'kiwi' -> {lengths.get('kiwi')}")

    # Static methods, with the overload chosen from the Python arguments.
    print(f"  String.format: {String.format('%s has %d letters', name, len(name))}")
    built = StringBuilder('x').append(1).append(True).append(2.5).toString()
    print(f"  StringBuilder.append(int), (boolean), (double): {built!r}")
    print(f"  Integer.MAX_VALUE = {Integer.MAX_VALUE}, Integer.toHexString(255) = {Integer.toHexString(255)}")

    # A Java exception is an ordinary Python exception that carries the Java throwable.
    try:
        Integer.parseInt('not a number')
    except ValueError as e:
        print(f"  caught ValueError from Integer.parseInt: {e.args[0]}")
    try:
        words.get(10)
    except IndexError as e:
        print(f"  caught IndexError from ArrayList.get: {e.args[0].getMessage()}")
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
