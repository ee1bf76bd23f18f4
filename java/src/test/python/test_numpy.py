"""NumPy values passed to Java methods, kiv.NDArray and kiv.DirectNDArray results, and
Java arrays and lists handed to NumPy.  Runs in a shared interpreter, where NumPy loads."""
import unittest

import numpy as np

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
ByteBuffer = _kiv.findClass('java.nio.ByteBuffer')
ByteOrder = _kiv.findClass('java.nio.ByteOrder')
DirectNDArray = _kiv.findClass('kiv.DirectNDArray')
NDArray = _kiv.findClass('kiv.NDArray')
IntStream = _kiv.findClass('java.util.stream.IntStream')
LongStream = _kiv.findClass('java.util.stream.LongStream')
Fixture = _kiv.forName('kivtest.NumpyFixture')


class NumpyValuesAsArguments(unittest.TestCase):

    def test_arrays_arrive_in_row_major_order(self):
        a = np.arange(6, dtype=np.int32).reshape(2, 3)
        self.assertEqual('int[] [0, 3, 1, 4, 2, 5]', Fixture.ints(a.T))
        self.assertEqual('int[] [0, 3, 1, 4, 2, 5]', Fixture.ints(a.astype('>i4').T))
        self.assertEqual('NDArray int[] [0, 1, 2, 3, 4, 5] dims=[2, 3]', Fixture.describe(a))
        self.assertEqual('NDArray int[] [0, 1, 2, 3, 4, 5] dims=[2, 3] unsigned',
                         Fixture.nd(a.astype(np.uint32)))
        self.assertEqual('NDArray boolean[] [true, false] dims=[1, 2]',
                         Fixture.describe(np.array([[True, False]])))
        with self.assertRaises(TypeError) as caught:
            Fixture.ints(np.zeros(2, dtype=np.float32))
        self.assertIn('Error matching ndarray.dtype to Java primitive type', str(caught.exception))
        with self.assertRaises(TypeError) as caught:
            Fixture.describe(np.zeros(2, dtype=np.complex64))
        self.assertIn('ndarray: 14 (dtype complex64)', str(caught.exception))

    def test_scalars_become_boxes(self):
        self.assertEqual('Double 2.5', Fixture.describe(np.float64(2.5)))
        self.assertEqual('Float 0.1', Fixture.describe(np.float32(0.1)))
        self.assertEqual('Long 300', Fixture.describe(np.int64(300)))
        self.assertEqual('Byte -3', Fixture.describe(np.int8(-3)))
        self.assertEqual('Byte 5', Fixture.boxedByte(np.int64(5)))
        self.assertEqual('Float 2.5', Fixture.boxedFloat(np.float64(2.5)))
        with self.assertRaises(TypeError) as caught:
            Fixture.boxedByte(np.int64(300))
        self.assertIn('300 is outside the valid range of a Java byte', str(caught.exception))
        lst = ArrayList()
        lst.add(np.float32(0.1))
        lst.add(np.int16(7))
        self.assertEqual('[0.1, 7]', lst.toString())
        self.assertEqual(7, lst.get(1))


class JavaArraysAsResults(unittest.TestCase):

    def test_ndarray_results_are_ndarrays(self):
        lst = ArrayList()
        lst.add(NDArray(IntStream.range(0, 6).toArray(), 2, 3))
        a = lst.get(0)
        self.assertIs(np.ndarray, type(a))
        self.assertEqual((2, 3), a.shape)
        self.assertEqual([[0, 1, 2], [3, 4, 5]], a.tolist())

    def test_direct_arrays_share_memory_both_ways(self):
        buf = ByteBuffer.allocateDirect(48).order(ByteOrder.nativeOrder())
        d = DirectNDArray(buf.asLongBuffer(), 2, 3)
        a = Fixture.identity(d)
        self.assertIs(np.ndarray, type(a))
        self.assertEqual(np.int64, a.dtype)
        a[1, 1] = 99
        self.assertEqual(99, buf.getLong(4 * 8))
        buf.putLong(0, -7)
        self.assertEqual(-7, a[0, 0])
        b = Fixture.identity(d)
        self.assertEqual(a.__array_interface__['data'][0], b.__array_interface__['data'][0])
        # back in Java, the ndarray is the object it was made from; a view is not
        self.assertTrue(Fixture.same(a, d))
        self.assertEqual('NDArray long[] [0, 99, 0] dims=[1, 3]', Fixture.describe(a[1:]))
        with self.assertRaises(TypeError):
            Fixture.same(a[1:], d)


def _exports_buffer(obj):
    try:
        memoryview(obj).release()
        return True
    except TypeError:
        return False


_ints = IntStream.range(-2, 3).toArray()
_list = ArrayList()


@unittest.skipUnless(_exports_buffer(_ints), 'Java arrays have no buffer protocol in this build')
class JavaArraysToNumpy(unittest.TestCase):

    def test_asarray_of_int_array(self):
        a = np.asarray(IntStream.range(-2, 3).toArray())
        self.assertEqual(np.int32, a.dtype)
        self.assertEqual([-2, -1, 0, 1, 2], a.tolist())

    def test_array_of_double_and_long_arrays(self):
        d = np.array(IntStream.range(0, 4).asDoubleStream().toArray())
        self.assertEqual(np.float64, d.dtype)
        self.assertEqual([0.0, 1.0, 2.0, 3.0], d.tolist())
        j = np.array(LongStream.range(2**40, 2**40 + 2).toArray())
        self.assertEqual(np.dtype('int64'), j.dtype)
        self.assertEqual([2**40, 2**40 + 1], j.tolist())
        # and back to Java as a long[]
        self.assertEqual('NDArray long[] [%d, %d] dims=[2]' % (2**40, 2**40 + 1), Fixture.describe(j))

    def test_array_copies_once(self):
        src = IntStream.range(0, 3).toArray()
        a = np.array(src)
        a[0] = 42
        self.assertEqual(0, src[0])


@unittest.skipUnless(hasattr(type(_list), '__len__') and hasattr(type(_list), '__getitem__'),
                     'Java lists have no sequence protocol in this build')
class JavaListsToNumpy(unittest.TestCase):

    def test_array_of_list_of_doubles(self):
        lst = ArrayList()
        for v in (1.5, -2.0, 1e300):
            lst.add(v)
        a = np.array(lst)
        self.assertEqual(np.float64, a.dtype)
        self.assertEqual([1.5, -2.0, 1e300], a.tolist())


if __name__ == '__main__':
    unittest.main()
