"""Java iterables, iterators, collections, lists, maps, numbers, buffers and
auto-closeables with Python syntax."""
import struct
import sys
import unittest

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
AtomicLong = _kiv.findClass('java.util.concurrent.atomic.AtomicLong')
BigDecimal = _kiv.findClass('java.math.BigDecimal')
BigInteger = _kiv.findClass('java.math.BigInteger')
ByteBuffer = _kiv.findClass('java.nio.ByteBuffer')
ByteOrder = _kiv.findClass('java.nio.ByteOrder')
Double = _kiv.findClass('java.lang.Double')
HashMap = _kiv.findClass('java.util.HashMap')
Integer = _kiv.findClass('java.lang.Integer')
JList = _kiv.findClass('java.util.List')
Long = _kiv.findClass('java.lang.Long')
TreeMap = _kiv.findClass('java.util.TreeMap')
Fixture = _kiv.forName('kivtest.ContainerFixture')
Closer = _kiv.forName('kivtest.ContainerFixture$Closer')
Named = _kiv.forName('kivtest.ContainerFixture$Named')


def jlist(*items):
    lst = ArrayList()
    for x in items:
        lst.add(x)
    return lst


class IterablesAndCollections(unittest.TestCase):

    def test_loops_len_and_membership(self):
        lst = jlist(3, 1, 2)
        self.assertEqual([3, 1, 2], [x for x in lst])
        self.assertEqual((3, 6, [1, 2, 3], {1, 2, 3}), (len(lst), sum(lst), sorted(lst), set(lst)))
        self.assertTrue(2 in lst)
        self.assertFalse(5 in lst)
        self.assertFalse(None in lst)
        it = lst.iterator()
        self.assertEqual([3, 1, 2], list(it))
        self.assertEqual([], list(it))  # an iterator is consumed once
        # Python ints become Longs: a Java Set<Integer> does not hold 1, but does hold Integer(1).
        ints = Fixture.intSet()
        self.assertFalse(1 in ints)
        self.assertTrue(Integer(1) in ints)

    def test_boxed_elements_become_python_values(self):
        values = list(Fixture.boxes())
        self.assertEqual([-1, -2, -3, -2**63, 1.5, 1.7976931348623157e308, True, '€'], values)
        self.assertEqual([int, int, int, int, float, float, bool, str], [type(v) for v in values])

    def test_java_failures_end_the_loop_with_the_java_exception(self):
        with self.assertRaises(TypeError) as caught:
            iter(Fixture.NullIterable())
        self.assertEqual('java.lang.Iterable returned a null value from iterator()', str(caught.exception))
        seen = []
        with self.assertRaises(RuntimeError) as caught:
            for x in Fixture.ThrowingIterator(2):
                seen.append(x)
        self.assertEqual([1, 0], seen)
        self.assertEqual('java.util.ConcurrentModificationException', caught.exception.args[0].java_name)
        lst = jlist(1, 2)
        with self.assertRaises(RuntimeError) as caught:
            for x in lst:
                lst.add(x)
        self.assertEqual('java.util.ConcurrentModificationException', caught.exception.args[0].java_name)
        with self.assertRaises(RuntimeError):
            len(Fixture.BadSizeCollection(0))
        with self.assertRaises(ValueError) as caught:
            len(Fixture.BadSizeCollection(-5))
        self.assertEqual('java.util.Collection.size() returned a negative value', str(caught.exception))
        with self.assertRaises(RuntimeError) as caught:
            None in JList.of(1)  # List.of refuses to look for null
        self.assertEqual('java.lang.NullPointerException', caught.exception.args[0].java_name)

    def test_protocol_types_need_a_java_object(self):
        Collection = _kiv.__javaTypeCache__['java.util.Collection']
        with self.assertRaises(TypeError):
            Collection()

        class Mixed(Collection, dict):
            pass

        with self.assertRaises(TypeError) as caught:
            len(Mixed())
        self.assertEqual('java.util.Collection requires a Java object', str(caught.exception))

    def test_a_type_given_a_protocol_base_by_hand_still_checks_its_objects(self):
        # What a type's objects were found to implement is remembered per type; a base
        # added later must not let an object that lacks the interface reach Java.
        Collection = _kiv.__javaTypeCache__['java.util.Collection']
        joiner = _kiv.findClass('java.util.StringJoiner')(',')
        T = type(joiner)
        saved = T.__bases__
        T.__bases__ = (Collection,) + saved
        try:
            for _ in range(2):
                with self.assertRaisesRegex(TypeError, 'java.util.Collection requires a Java object'):
                    len(joiner)
            self.assertEqual(3, len(jlist(1, 2, 3)))
        finally:
            T.__bases__ = saved

    def test_numpy_reads_java_lists(self):
        try:
            import numpy
        except ImportError:
            self.skipTest('NumPy is not installed')
        self.assertEqual([1.5, 2.5], numpy.array(jlist(1.5, 2.5)).tolist())


class Lists(unittest.TestCase):

    def test_indexing(self):
        lst = Fixture.abc()
        self.assertEqual(('a', 'c', 'b'), (lst[0], lst[-1], lst[-2]))
        for i, message in [(3, 'list index 3 out of range, size 3'), (-4, 'list index -1 out of range, size 3')]:
            with self.assertRaises(IndexError) as caught:
                lst[i]
            self.assertEqual(message, str(caught.exception))
        with self.assertRaises(TypeError) as caught:
            lst['x']
        self.assertEqual('list indices must be integers, longs, or slices', str(caught.exception))
        with self.assertRaises(IndexError) as caught:
            Fixture.noCtorList()[5]  # the list's own get() refuses first
        self.assertEqual('list index 5 out of range, size 1', str(caught.exception))
        with self.assertRaises(IndexError) as caught:
            lst[2**40]
        self.assertEqual('list index 1099511627776 out of range, size 3', str(caught.exception))

    def test_indexes_beyond_java_ints_change_nothing(self):
        lst = Fixture.abc()
        for i in (2**32, 2**32 + 1, -2**40):
            with self.subTest(i=i):
                with self.assertRaises(IndexError):
                    lst[i] = 'x'
                with self.assertRaises(IndexError):
                    del lst[i]
        with self.assertRaises(IndexError):
            lst[2**64] = 'x'
        self.assertEqual(['a', 'b', 'c'], list(lst))

    def test_item_writes_and_deletion(self):
        lst = Fixture.abc()
        lst[0] = 'y'
        lst[1] = None
        self.assertEqual(['y', None, 'c'], list(lst))
        del lst[0]
        self.assertEqual([None, 'c'], list(lst))
        with self.assertRaises(IndexError):
            lst[5] = 'z'  # Java's IndexOutOfBoundsException

    def test_slices_are_views(self):
        lst = Fixture.abc()
        view = lst[1:]
        self.assertEqual(['b', 'c'], list(view))
        view.add('d')
        self.assertEqual(['a', 'b', 'c', 'd'], list(lst))
        self.assertEqual([], list(lst[5:9:2]))
        with self.assertRaises(TypeError) as caught:
            lst[0:3:2]
        self.assertEqual('pyjlist slices must have step of 1', str(caught.exception))

    def test_slice_assignment(self):
        lst = Fixture.abc()
        lst[0:2] = ['x', 'y']
        self.assertEqual(['x', 'y', 'c'], list(lst))
        with self.assertRaises(IndexError) as caught:
            lst[0:2] = ['x']
        self.assertEqual('PyJList only supports assigning a sequence of the same size as the slice, '
                         'slice = [0:2], value size=1', str(caught.exception))
        with self.assertRaises(TypeError) as caught:
            lst[0:2] = 5
        self.assertEqual('PyJList can only slice assign a sequence', str(caught.exception))
        with self.assertRaises(IndexError):
            lst[1:1] = ['inserted']  # the length never changes
        lst[5:9] = []
        # A value that cannot be converted stops the assignment before anything is stored.
        endless = []
        endless.append(endless)
        with self.assertRaises(RecursionError):
            lst[0:2] = ['p', endless]
        self.assertEqual(['x', 'y', 'c'], list(lst))
        abc = Fixture.abc()
        abc[1:3] = abc[0:2]  # from a view of the same list
        self.assertEqual(['a', 'a', 'b'], list(abc))

    def test_slice_deletion(self):
        lst = Fixture.abc()
        with self.assertRaises(TypeError):
            del lst[0:3:2]
        del lst[0:2]
        self.assertEqual(['c'], list(lst))
        del lst[5:9]
        self.assertEqual(['c'], list(lst))

    def test_concatenation_keeps_the_class(self):
        lst = Fixture.abc()
        both = lst + [1, 2]
        self.assertEqual(['a', 'b', 'c', 1, 2], list(both))
        self.assertEqual('java.util.ArrayList', both.java_name)
        self.assertEqual(3, len(lst))
        named = Named()
        named.add('n')
        self.assertIs(type(named), type(named + ['m']))
        with self.assertRaises(Exception):
            Fixture.noCtorList() + ['b']  # no public constructor to copy with
        with self.assertRaises(TypeError) as caught:
            lst += None
        self.assertEqual('Expected java.util.Collection but received null.', str(caught.exception))
        same = lst
        lst += ['d']
        self.assertIs(same, lst)
        self.assertEqual(['a', 'b', 'c', 'd'], list(lst))

    def test_repetition(self):
        lst = Fixture.abc()
        self.assertEqual(['a', 'b', 'c'] * 3, list(lst * 3))
        self.assertEqual(['a', 'b', 'c'] * 2, list(2 * lst))
        self.assertEqual(['a', 'b', 'c'] * 5, list(lst * 5))
        self.assertEqual([], list(lst * 0))
        self.assertEqual(3, len(lst))
        lst *= 1
        self.assertEqual(3, len(lst))
        with self.assertRaises(OverflowError):
            lst * (2**32 + 1)
        with self.assertRaises(OverflowError):
            lst *= 2**31
        self.assertEqual(0, len(ArrayList() * (2**32 + 1)))
        view = lst[0:1]
        view *= 3  # a view has no public constructor, but repeats in place
        self.assertEqual(['a', 'a', 'a', 'b', 'c'], list(lst))
        lst *= 0
        self.assertEqual(0, len(lst))


class Maps(unittest.TestCase):

    def test_lookup_store_and_delete(self):
        m = Fixture.withNull()
        self.assertEqual((1, None, 2), (m['a'], m['b'], len(m)))
        self.assertTrue('b' in m)
        self.assertFalse('c' in m)
        with self.assertRaises(KeyError) as caught:
            m['c']
        self.assertEqual('KeyError: c', caught.exception.args[0])
        m['k'] = 1
        self.assertEqual(1, m.get('k'))
        del m['a']
        self.assertFalse('a' in m)
        with self.assertRaises(KeyError):
            del m['zz']
        self.assertEqual(2, len(m))

    def test_views_and_dict(self):
        m = HashMap()
        m['x'] = 1
        m['y'] = 2
        self.assertEqual({'x': 1, 'y': 2}, dict(m))
        self.assertEqual(['x', 'y'], sorted(m.keys()))
        self.assertEqual([('x', 1), ('y', 2)], sorted(m.items()))
        self.assertEqual(['x', 'y'], sorted(m))
        m.keys().remove('x')  # the key set is the map's own
        self.assertEqual({'y': 2}, dict(m))
        self.assertEqual([], HashMap().items())

    def test_keys_that_cannot_be_found(self):
        m = HashMap()
        with self.assertRaises(KeyError) as caught:
            m['\ud800']
        self.assertEqual('KeyError: \ud800', caught.exception.args[0])

        class BadStr:
            def __str__(self):
                raise ValueError('no text')

        with self.assertRaises(ValueError):
            m[BadStr()]
        keyed = Fixture.intKeys()  # Integer keys: a Python int is looked up as a Long
        self.assertEqual([1], list(keyed))
        with self.assertRaises(KeyError):
            keyed[1]
        with self.assertRaises(RuntimeError):
            TreeMap()[None] = 5  # TreeMap refuses null keys

    def test_maps_that_misbehave(self):
        m = Fixture.NullViewsMap()
        with self.assertRaises(RuntimeError) as caught:
            iter(m)
        self.assertEqual('Map.keySet() returned null', str(caught.exception))
        with self.assertRaises(RuntimeError) as caught:
            m.items()
        self.assertEqual('Map.entrySet() returned null', str(caught.exception))
        self.assertEqual([('only', 1)], Fixture.OverCountingMap().items())


class Numbers(unittest.TestCase):

    def test_arithmetic_follows_python(self):
        seven = Integer(7)
        self.assertEqual((9, 3.5, 3, 14, 5), (seven + 2, seven / 2, seven // 2, 2 * seven, seven - 2))
        self.assertIs(int, type(seven + 2))
        self.assertEqual(2, Integer(-7) % 3)
        self.assertEqual((1, 2), divmod(seven, 5))
        self.assertEqual(1024, pow(Integer(2), 10, None))
        self.assertEqual(4, pow(Integer(2), 10, Integer(10)))
        self.assertEqual((-7, 7, 7), (-seven, +seven, abs(Integer(-7))))
        with self.assertRaises(TypeError):
            seven + 'a'
        with self.assertRaises(ZeroDivisionError):
            seven / 0

    def test_comparison_hash_and_conversions(self):
        self.assertTrue(Integer(5) == Long(5))
        self.assertTrue(Integer(5) == 5.0)
        self.assertTrue(Integer(5) < 6)
        self.assertEqual(hash(5), hash(Integer(5)))
        self.assertEqual('x', {5: 'x'}[Integer(5)])
        self.assertTrue(BigDecimal('1.0') == BigDecimal('1.00'))  # as Python floats, unlike Java's equals
        self.assertEqual(hash(2.5), hash(BigDecimal('2.5')))
        self.assertEqual((2, 2.7), (int(Double(2.7)), float(Double(2.7))))
        self.assertFalse(bool(Integer(0)))
        self.assertTrue(bool(BigDecimal('0.5')))
        self.assertEqual(2, [1, 2][Integer(1)])
        with self.assertRaises(TypeError) as caught:
            [1][Double(0.0)]
        self.assertEqual('list indices must be integers, not float', str(caught.exception))

    def test_wide_values_take_part_as_floats(self):
        big = BigInteger(str(2**70 + 1))
        self.assertEqual(float(2**70), big + 0)
        self.assertEqual(1, int(big))  # longValue(): the low 64 bits
        counter = AtomicLong(5)
        self.assertEqual(6.0, counter + 1)
        self.assertEqual(hash(5), hash(counter))
        self.assertTrue(counter < 5.5)
        counter.incrementAndGet()
        self.assertEqual((6, 6.0), (int(counter), float(counter)))

    def test_java_failures(self):
        bad = Fixture.BadNumber()
        for operation in (lambda: bad + 1, lambda: bool(bad), lambda: hash(bad), lambda: int(bad)):
            with self.assertRaises(ArithmeticError):
                operation()


class Buffers(unittest.TestCase):

    def test_native_order_view_is_writable_in_place(self):
        ints = ByteBuffer.allocateDirect(16).order(ByteOrder.nativeOrder()).asIntBuffer()
        m = memoryview(ints)
        self.assertEqual(('i', 4, 16, (4,), False),
                         (m.format, m.itemsize, m.nbytes, m.shape, m.readonly))
        m[0] = 5
        self.assertEqual(5, ints.get(0))
        ints.put(1, -3)
        self.assertEqual(-3, m[1])

    def test_formats_follow_the_byte_order(self):
        big = ByteBuffer.allocateDirect(16).asIntBuffer()  # big-endian, Java's default
        m = memoryview(big)
        self.assertEqual('>i', m.format)
        big.put(0, 0x01020304)
        self.assertEqual(0x01020304, struct.unpack('>4i', m.tobytes())[0])
        little = ByteBuffer.allocateDirect(16).order(ByteOrder.LITTLE_ENDIAN)
        native = sys.byteorder == 'little'
        self.assertEqual('d' if native else '<d', memoryview(little.asDoubleBuffer()).format)
        self.assertEqual('>d', memoryview(ByteBuffer.allocateDirect(16).asDoubleBuffer()).format)
        self.assertEqual('<H', memoryview(little.asCharBuffer()).format)  # always explicit
        self.assertEqual(2, memoryview(little.asCharBuffer()).itemsize)
        self.assertEqual('b', memoryview(little).format)
        self.assertEqual('b', memoryview(ByteBuffer.allocateDirect(4)).format)
        d = ByteBuffer.allocateDirect(16).asDoubleBuffer()
        d.put(1, 0.1)
        self.assertEqual(0.1, struct.unpack('>2d', memoryview(d).tobytes())[1])

    def test_refusals(self):
        with self.assertRaises(TypeError) as caught:
            memoryview(ByteBuffer.allocate(4))
        self.assertEqual('Python buffer access is only allowed for direct Java Buffers.', str(caught.exception))
        ro = ByteBuffer.allocateDirect(4).asReadOnlyBuffer()
        m = memoryview(ro)
        self.assertTrue(m.readonly)
        with self.assertRaises(TypeError):
            m[0] = 1
        self.assertEqual(0, ro.get(0))

    def test_whole_capacity_and_reference_hygiene(self):
        b = ByteBuffer.allocateDirect(8)
        b.position(2)
        b.put(0, 9)
        m = memoryview(b)
        self.assertEqual((8, 9), (len(m), m[0]))
        m.release()
        self.assertEqual(0, len(memoryview(ByteBuffer.allocateDirect(0))))
        heap = ByteBuffer.allocate(4)
        before = (sys.getrefcount(b), sys.getrefcount(heap))
        for _ in range(200):
            with self.assertRaises(TypeError):
                memoryview(heap)
            memoryview(b).release()
        self.assertEqual(before, (sys.getrefcount(b), sys.getrefcount(heap)))

    def test_eight_megabytes_in_place(self):
        size = 8 * 1024 * 1024
        b = ByteBuffer.allocateDirect(size)
        with memoryview(b) as m:
            self.assertEqual(size, m.nbytes)
            m[size - 1] = 7
        self.assertEqual(7, b.get(size - 1))

    def test_numpy_reads_both_orders(self):
        try:
            import numpy
        except ImportError:
            self.skipTest('NumPy is not installed')
        big = ByteBuffer.allocateDirect(8).asIntBuffer()
        big.put(0, 258)
        n = numpy.asarray(big)
        self.assertEqual(numpy.dtype('>i4'), n.dtype)
        self.assertEqual([258, 0], n.tolist())
        n[1] = 7
        self.assertEqual(7, big.get(1))


class AutoCloseables(unittest.TestCase):

    def test_with_closes_on_every_exit(self):
        with Closer(False) as c:
            self.assertEqual(0, c.closed)
        self.assertEqual(1, c.closed)
        c = Closer(False)
        with self.assertRaises(KeyError):
            with c:
                raise KeyError('inside')
        self.assertEqual(1, c.closed)

    def test_a_failing_close_raises(self):
        c = Closer(True)
        with self.assertRaises(RuntimeError) as caught:
            with c:
                pass
        self.assertEqual('java.lang.IllegalStateException', caught.exception.args[0].java_name)
        with self.assertRaises(RuntimeError) as caught:
            with Closer(True):
                raise KeyError('inside')
        self.assertIsInstance(caught.exception.__context__, KeyError)


if __name__ == '__main__':
    unittest.main()
