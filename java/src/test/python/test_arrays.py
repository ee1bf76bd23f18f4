"""Java arrays in Python: jarray, indexing, slices, searching, iteration, pinned
elements with their commit and re-pin points, and buffer views of primitive arrays."""
import math
import unittest

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
Arrays = _kiv.findClass('java.util.Arrays')
Double = _kiv.findClass('java.lang.Double')
Integer = _kiv.findClass('java.lang.Integer')
String = _kiv.findClass('java.lang.String')
Void = _kiv.findClass('java.lang.Void')
IntArray = _kiv.findClass('[I')
Fixture = _kiv.forName('kivtest.ContainerFixture')


def ints(*values):
    a = _kiv.jarray(len(values), 'i')
    a[0:len(values)] = list(values)
    return a


def rss_mb():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024
    raise AssertionError('no VmRSS')


def under_address_sanitizer():
    # Its quarantine keeps freed memory resident for a while: RSS then shows no release.
    with open('/proc/self/maps') as f:
        return 'libasan' in f.read()


class Creation(unittest.TestCase):

    def test_type_codes_letters_and_classes(self):
        a = _kiv.jarray(5, _kiv.JINT_ID)
        self.assertEqual(5, len(a))
        self.assertEqual([0] * 5, list(a))
        self.assertEqual('[I', a.java_name)
        self.assertEqual([None] * 3, list(_kiv.jarray(3, ArrayList)))
        self.assertEqual('[Ljava.util.ArrayList;', _kiv.jarray(3, ArrayList).java_name)
        self.assertEqual([None, None], list(_kiv.jarray(2, 4)))  # the String type code
        self.assertEqual('[J', _kiv.jarray(1, 2).java_name)
        self.assertEqual('[D', _kiv.jarray(2, Double.TYPE).java_name)
        self.assertEqual([0, 0], list(_kiv.jarray(2, Integer.TYPE)))

    def test_fill_values_by_type(self):
        self.assertEqual([7, 7, 7], list(_kiv.jarray(3, 'i', 7)))
        self.assertEqual(['h', 'i', '\x00', '\x00'], list(_kiv.jarray(4, 'c', 'hi')))
        self.assertEqual([True, True], list(_kiv.jarray(2, 'z', 5)))
        self.assertEqual([0.0, 0.0], list(_kiv.jarray(2, 'd', 1)))  # an int does not fill a double array
        self.assertEqual([2.5, 2.5], list(_kiv.jarray(2, 'd', 2.5)))
        self.assertEqual([44, 44], list(_kiv.jarray(2, 'b', 300)))  # the low 8 bits
        self.assertEqual(['A'], list(_kiv.jarray(1, 'c', 65)))

    def test_a_fill_is_in_the_java_array_at_once(self):
        self.assertEqual(21, Fixture.sum(_kiv.jarray(3, 'i', 7)))
        chars = _kiv.jarray(2, 'c', 'é')
        self.assertEqual(['é', '\x00'], list(chars))
        self.assertEqual(0xE9, Fixture.charAt(chars, 0))
        # Characters beyond U+FFFF take two elements, as in Java.
        self.assertEqual('a\U0001F600', Fixture.text(_kiv.jarray(3, 'c', 'a\U0001F600')))

    def test_bad_arguments(self):
        cases = [((2, 3), ValueError, 'Unknown type.'),
                 ((2, 9), ValueError, 'Unknown type.'),
                 ((-1, 1), ValueError, 'Invalid size -1'),
                 ((2, 'ii'), ValueError, 'bad typecode (must be z, b, c, s, i, j, f or d)'),
                 ((2, 'x'), ValueError, 'bad typecode (must be z, b, c, s, i, j, f or d)'),
                 ((2, 1.5), ValueError, 'Unknown arg type: expected one of: J<foo>_ID, pyjobject, jarray'),
                 (('2', 'i'), ValueError, 'Unknown arg types.'),
                 ((2, Void.TYPE), ValueError, 'Unsupported jarray Component type'),
                 ((2**32 + 3, 'i'), ValueError, 'Invalid size 4294967299')]
        for args, error, message in cases:
            with self.subTest(args=args):
                with self.assertRaises(error) as caught:
                    _kiv.jarray(*args)
                self.assertEqual(message, str(caught.exception))
        with self.assertRaises(TypeError):
            _kiv.jarray(1)
        with self.assertRaises(OverflowError):
            _kiv.jarray(2**70, 'i')
        with self.assertRaises(OverflowError):
            _kiv.jarray(2, 'i', 2**70)
        with self.assertRaises(RuntimeError) as caught:
            _kiv.jarray(-1, 'i')  # Java refuses the size
        self.assertEqual('java.lang.NegativeArraySizeException', caught.exception.args[0].java_name)


class Indexing(unittest.TestCase):

    def test_reads_in_and_out_of_range(self):
        a = ints(10, 20, 30)
        self.assertEqual((10, 30, 20), (a[0], a[-1], a[-2]))
        for i in (3, 100, -4, 2**32, -2**63, 2**64):
            with self.subTest(i=i):
                with self.assertRaises(IndexError):
                    a[i]
        with self.assertRaises(IndexError) as caught:
            _kiv.jarray(0, 'i')[0]
        self.assertEqual('array assignment index out of range: 0', str(caught.exception))
        with self.assertRaises(TypeError) as caught:
            a['x']
        self.assertEqual('pyjarray indices must be integers, longs, or slices', str(caught.exception))
        self.assertEqual(20, a[Integer(1)])  # a wrapped Java int is an index too

    def test_writes_out_of_range_change_nothing(self):
        a = ints(10, 20, 30)
        with self.assertRaises(IndexError) as caught:
            a[3] = 1
        self.assertEqual('array assignment index out of range: 3', str(caught.exception))
        for i in (2**32, 2**32 + 1, -2**63, 2**64):
            with self.subTest(i=i):
                with self.assertRaises(IndexError):
                    a[i] = 1
        a[-1] = 33
        self.assertEqual([10, 20, 33], list(a))

    def test_values_of_the_wrong_type_change_nothing(self):
        a = ints(10, 20, 30)
        for value, error, message in [(1.5, TypeError, 'Expected int.'), ('1', TypeError, 'Expected int.'),
                                      (None, TypeError, 'Expected int.'), (2**70, OverflowError, None)]:
            with self.subTest(value=value):
                with self.assertRaises(error) as caught:
                    a[0] = value
                if message:
                    self.assertEqual(message, str(caught.exception))
        self.assertEqual([10, 20, 30], list(a))
        with self.assertRaises(TypeError) as caught:
            _kiv.jarray(1, 'j')[0] = 1.5
        self.assertEqual('Expected long.', str(caught.exception))
        with self.assertRaises(TypeError) as caught:
            _kiv.jarray(1, 'd')[0] = 1
        self.assertEqual('Expected float.', str(caught.exception))
        with self.assertRaises(TypeError):
            del a[0]
        self.assertEqual(3, len(a))

    def test_integral_values_keep_their_low_bits(self):
        a = ints(0)
        a[0] = 2**32 + 5
        self.assertEqual(5, a[0])
        b = _kiv.jarray(1, 'b')
        b[0] = 300
        self.assertEqual(44, b[0])
        z = _kiv.jarray(2, 'z')
        z[0] = 5
        self.assertEqual([True, False], list(z))
        f = _kiv.jarray(2, 'f')
        f[0] = 1e300  # beyond a Java float: infinity, as Java's cast gives
        f[1] = 0.1
        self.assertEqual(math.inf, f[0])
        self.assertNotEqual(0.1, f[1])
        self.assertAlmostEqual(0.1, f[1], places=6)

    def test_chars_are_utf16_code_units(self):
        c = _kiv.jarray(2, 'c')
        c[0] = '€'
        c[1] = '\ud800'  # a lone surrogate is a valid Java char
        self.assertEqual(0x20AC, Fixture.charAt(c, 0))
        self.assertEqual(0xD800, Fixture.charAt(c, 1))
        self.assertTrue('€' in c)
        with self.assertRaises(TypeError) as caught:
            c[0] = '\U0001F600'
        self.assertEqual('Expected char.', str(caught.exception))
        c[0] = 0x41
        self.assertEqual('A', c[0])

    def test_reference_elements(self):
        s = _kiv.jarray(3, 4)
        s[0] = 'x'
        s[1] = None
        s[2] = '\U0001F600'
        self.assertEqual('x,null,\U0001F600', Fixture.joined(s))
        with self.assertRaises(TypeError) as caught:
            s[0] = 5
        self.assertEqual('Expected string.', str(caught.exception))
        o = _kiv.jarray(2, ArrayList)
        o[0] = ArrayList()
        with self.assertRaises(TypeError):
            o[1] = 'not a list'
        self.assertIsNone(o[1])
        self.assertEqual('[]', str(o[0]))
        classes = Fixture.classes()
        self.assertEqual([String, Integer], list(classes))
        self.assertEqual(String, classes[0:1][0])


class Slices(unittest.TestCase):

    def test_slices_are_new_arrays(self):
        a = ints(10, 20, 30)
        tail = a[1:]
        self.assertEqual([20, 30], list(tail))
        tail[0] = 0
        self.assertEqual(20, a[1])
        self.assertEqual(30, Fixture.sum(a[2:]))  # the slice's Java array holds its values
        self.assertEqual([], list(a[5:9]))
        self.assertEqual([], list(a[5:9:2]))  # an empty range ignores the step
        self.assertEqual('[I', a[5:9].java_name)
        with self.assertRaises(TypeError) as caught:
            a[0:3:2]
        self.assertEqual('pyjarray slices must have step of 1', str(caught.exception))
        s = _kiv.jarray(3, 4)
        s[0:3] = ['a', 'b', None]
        self.assertEqual('a,b', Fixture.joined(s[0:2]))
        self.assertEqual([None], list(s[2:]))

    def test_slice_assignment_is_all_or_nothing(self):
        a = ints(10, 20, 30)
        a[1:3] = [7, 8]
        self.assertEqual([10, 7, 8], list(a))
        a[0:2] = (1, 2)
        self.assertEqual([1, 2, 8], list(a))
        with self.assertRaises(IndexError):
            a[0:2] = [1]
        with self.assertRaises(IndexError):
            a[1:1] = [5]
        with self.assertRaises(TypeError):
            a[0:3] = [4, 'x', 6]
        with self.assertRaises(TypeError):
            a[0:3:2] = [4, 6]
        with self.assertRaises(TypeError):
            a[0:1] = 5
        self.assertEqual([1, 2, 8], list(a))
        a[3:3] = []
        s = _kiv.jarray(2, 4)
        with self.assertRaises(TypeError):
            s[0:2] = ['x', 1]
        self.assertEqual([None, None], list(s))
        g = Fixture.grid()
        with self.assertRaises(RuntimeError):  # a long[] cannot go into an int[][]
            g[0:2] = [ints(1), _kiv.jarray(1, 'j')]
        self.assertEqual(1, Fixture.readGrid(0, 0))


class Searching(unittest.TestCase):

    def test_primitive_search(self):
        a = ints(10, 20, 30)
        self.assertEqual(1, a.index(20))
        with self.assertRaises(ValueError) as caught:
            a.index(40)
        self.assertEqual('list.index(x): x not in array', str(caught.exception))
        self.assertFalse(40 in a)
        self.assertTrue(2**32 + 10 in a)  # narrowed like a written value
        with self.assertRaises(TypeError) as caught:
            'x' in a
        self.assertEqual('Expected int.', str(caught.exception))
        with self.assertRaises(OverflowError):
            2**70 in a
        d = _kiv.jarray(2, 'd', math.nan)
        self.assertFalse(math.nan in d)
        with self.assertRaises(TypeError) as caught:
            'x' in _kiv.jarray(1, 's')
        self.assertEqual('Expected int (short).', str(caught.exception))

    def test_reference_search(self):
        s = _kiv.jarray(3, 4)
        s[0:2] = ['a', 'b']
        self.assertEqual(1, s.index('b'))
        self.assertTrue(None in s)
        self.assertFalse('c' in s)
        with self.assertRaises(TypeError) as caught:
            5 in s
        self.assertEqual('Expected str.', str(caught.exception))
        o = _kiv.jarray(2, ArrayList)
        x = ArrayList()
        o[1] = x
        self.assertEqual(1, o.index(x))
        self.assertFalse(ArrayList() in o)  # identity, not equals
        self.assertEqual(0, o.index(None))
        with self.assertRaises(TypeError) as caught:
            'x' in o
        self.assertEqual('Expected jobject.', str(caught.exception))


class Iteration(unittest.TestCase):

    def test_iterator_length_and_exhaustion(self):
        a = ints(1, 2, 3)
        it = iter(a)
        self.assertEqual(3, len(it))
        self.assertEqual(1, next(it))
        self.assertEqual(2, len(it))
        self.assertEqual([2, 3], list(it))
        self.assertEqual(0, len(it))
        self.assertEqual([], list(it))
        self.assertEqual(6, sum(a))
        self.assertEqual([1, 2, 3], [x for x in a])
        self.assertEqual([], list(_kiv.jarray(0, 'd')))

    def test_nested_arrays(self):
        Fixture.resetShared()
        g = Fixture.grid()
        self.assertEqual([[1, 2], [3, 4]], [list(row) for row in g])
        g[0][1] = 5  # the inner wrapper lives for this statement only
        self.assertEqual(5, Fixture.readGrid(0, 1))
        outer = _kiv.jarray(2, IntArray)
        outer[0] = _kiv.jarray(2, 'i', 5)
        outer[1] = ints(1)
        self.assertEqual(11, Fixture.sum2d(outer))
        row = _kiv.jarray(1, 'i')
        outer[1] = row
        row[0] = 9  # written after the store: Java sees it once committed
        row.commit()
        self.assertEqual(19, Fixture.sum2d(outer))
        Fixture.resetShared()


class PinnedElements(unittest.TestCase):

    def setUp(self):
        Fixture.resetShared()

    def tearDown(self):
        Fixture.resetShared()

    def test_python_writes_reach_java_on_commit(self):
        a = Fixture.shared()
        a[0] = 99
        self.assertEqual(1, Fixture.readShared(0))
        a.commit()
        self.assertEqual(99, Fixture.readShared(0))

    def test_a_commit_keeps_what_java_wrote_elsewhere(self):
        a = Fixture.shared()
        Fixture.writeShared(1, 7)
        a[0] = 5
        a.commit()
        self.assertEqual([5, 7, 3], [Fixture.readShared(i) for i in range(3)])
        self.assertEqual(2, a[1])  # Python's view is the one pinned before
        self.assertEqual(15, Fixture.sum(a))  # passing it commits, and pins again after
        self.assertEqual(7, a[1])

    def test_java_writes_are_seen_after_a_call(self):
        values = ints(4, 2, 3, 1)
        Arrays.sort(values)
        self.assertEqual([1, 2, 3, 4], list(values))
        b = ints(0)
        with self.assertRaises(RuntimeError):
            Fixture.writeThenThrow(b)
        self.assertEqual(-1, b[0])

    def test_repeated_calls_do_not_grow_memory(self):
        a = _kiv.jarray(262144, 'i')  # 1 MB
        for _ in range(5):
            Fixture.incr(a)
        before = rss_mb()
        for _ in range(200):
            Fixture.incr(a)
        self.assertEqual(205, a[0])
        self.assertLess(rss_mb() - before, 100)

    @unittest.skipIf(under_address_sanitizer(), 'freed memory stays resident under AddressSanitizer')
    def test_dropped_arrays_give_their_memory_back(self):
        # One Java array, wrapped (and its elements pinned) again and again.
        for _ in range(5):
            Fixture.bigShared(262144)
        before = rss_mb()
        for _ in range(300):
            a = Fixture.bigShared(262144)
            self.assertEqual(262143, a[-1])
            del a
        self.assertLess(rss_mb() - before, 100)

    def test_java_returns_exact_doubles(self):
        d = list(Fixture.doubles())
        self.assertEqual([0.1, 1e300, -0.0, 5e-324, 1 / 3], d)
        self.assertEqual(-1.0, math.copysign(1.0, d[2]))


class BufferViews(unittest.TestCase):

    def test_formats_by_element_type(self):
        for code, fmt, size in [('z', '?', 1), ('b', 'b', 1), ('c', 'H', 2), ('s', 'h', 2),
                                ('i', 'i', 4), ('j', 'q', 8), ('f', 'f', 4), ('d', 'd', 8)]:
            with self.subTest(code=code):
                m = memoryview(_kiv.jarray(3, code))
                self.assertEqual((fmt, size, (3,), 3 * size, False), (m.format, m.itemsize, m.shape, m.nbytes,
                                                                      m.readonly))
                m.release()
        with self.assertRaises(BufferError):
            memoryview(_kiv.jarray(1, 4))
        self.assertEqual(0, len(memoryview(_kiv.jarray(0, 'i'))))

    def test_views_share_the_pinned_elements(self):
        a = ints(1, 2, 3)
        with memoryview(a) as m:
            self.assertEqual([1, 2, 3], m.tolist())
            m[0] = 5
            self.assertEqual(5, a[0])
            a[1] = 6
            self.assertEqual(6, m[1])
            self.assertEqual(14, Fixture.sum(a))  # a view's writes are committed with the array
            Fixture.incr(a)
            self.assertEqual(6, m[0])  # and it sees what Java wrote after a call
        self.assertEqual(b'\x07\x00', bytes(_kiv.jarray(1, 's', 7)))

    def test_writes_through_a_released_view_are_committed(self):
        a = Fixture.shared()
        with memoryview(a) as m:
            m[2] = 30
        a.commit()
        self.assertEqual(30, Fixture.readShared(2))
        Fixture.resetShared()

    def test_numpy_shares_the_elements(self):
        try:
            import numpy
        except ImportError:
            self.skipTest('NumPy is not installed')
        a = ints(1, 2, 3)
        n = numpy.asarray(a)
        self.assertEqual(numpy.int32, n.dtype)
        n[1] = 42
        self.assertEqual(42, a[1])
        self.assertEqual(46, Fixture.sum(a))
        d = numpy.asarray(Fixture.doubles())
        self.assertEqual(numpy.float64, d.dtype)
        self.assertEqual(0.1, d[0])
        self.assertEqual(1.0 / 3, d[4])
        z = numpy.asarray(_kiv.jarray(2, 'z', 1))
        self.assertEqual(numpy.bool_, z.dtype)
        self.assertEqual([True, True], z.tolist())


if __name__ == '__main__':
    unittest.main()
