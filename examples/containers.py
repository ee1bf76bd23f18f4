"""Java arrays, lists, maps, numbers, buffers and closeables used like Python's own.

Run it with:  bin/kiv examples/containers.py
"""
import sys

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
Arrays = _kiv.findClass('java.util.Arrays')
BigDecimal = _kiv.findClass('java.math.BigDecimal')
ByteBuffer = _kiv.findClass('java.nio.ByteBuffer')
ByteOrder = _kiv.findClass('java.nio.ByteOrder')
StringReader = _kiv.findClass('java.io.StringReader')
TreeMap = _kiv.findClass('java.util.TreeMap')


def main():
    # A Java list: len, indexing, slices (views of the Java list), in, +, *, for.
    fruit = ArrayList()
    for name in ('pear', 'fig', 'apple'):
        fruit.add(name)
    fruit += ['kiwi']
    print(f"list: len {len(fruit)}, first {fruit[0]!r}, last {fruit[-1]!r}, "
          f"'fig' in it: {'fig' in fruit}, sorted: {sorted(fruit)}")
    middle = fruit[1:3]
    middle[0] = 'plum'                     # writes through to the Java list
    print(f"  after fruit[1:3][0] = 'plum': {list(fruit)}; doubled: {len(fruit * 2)} items")

    # A Java map: item access, del, in, keys(), items(), dict().
    stock = TreeMap()
    stock['pear'] = 3
    stock['fig'] = 0
    stock['apple'] = 12
    del stock['fig']
    print(f"map: {dict(stock)}, keys {list(stock.keys())}, items {stock.items()}")
    try:
        stock['banana']
    except KeyError as e:
        print(f"  missing key: {e.args[0]}")

    # A Java int[]: made with jarray, filled by Python, sorted by Java, read back.
    numbers = _kiv.jarray(5, _kiv.JINT_ID)
    numbers[0:5] = [42, 7, 19, 3, 11]
    Arrays.sort(numbers)                   # Java sees Python's values and Python sees Java's
    print(f"int[] sorted by java.util.Arrays.sort: {list(numbers)}, sum {sum(numbers)}, "
          f"max {max(numbers)}, 19 at index {numbers.index(19)}")
    letters = _kiv.jarray(3, 'c', 'abc')
    print(f"char[] from a str: {list(letters)}")

    # Java numbers that stay Java objects still do Python arithmetic.
    price = BigDecimal('19.99')
    print(f"BigDecimal: {price} * 3 = {price * 3:.2f}, int() {int(price)}, == 19.99: {price == 19.99}")

    # A direct buffer shared with Python through memoryview, without a copy.
    ints = ByteBuffer.allocateDirect(16).order(ByteOrder.nativeOrder()).asIntBuffer()
    with memoryview(ints) as view:
        view[2] = 99
        print(f"IntBuffer through memoryview: format {view.format!r}, Java reads get(2) = {ints.get(2)}")

    # A Java AutoCloseable in a with statement.
    with StringReader('closed on leaving the block') as reader:
        first = reader.read()
    print(f"StringReader read {chr(first)!r}; reading after the block: ", end='')
    try:
        reader.read()
    except Exception as e:  # java.io.IOException: Stream closed
        print(f"{type(e).__name__}: {e.args[0].getMessage()}")
    return 0


if __name__ == '__main__':
    sys.exit(main())
