"""Python types of Java classes, and class wrappers."""
import gc
import threading
import unittest

import _kiv

findClass = _kiv.findClass
F = findClass('kivtest.FieldFixture')


def pytype(name):
    return findClass(name).__pytype__


class PerClassTypeTest(unittest.TestCase):

    def test_names_and_modules(self):
        t = type(F.list)
        self.assertEqual(('ArrayList', 'java.util'), (t.__name__, t.__module__))
        entry = pytype('java.util.Map$Entry')
        self.assertEqual(('Map$Entry', 'java.util'), (entry.__name__, entry.__module__))
        # A class name without a package (here an array class) goes to __kiv__.
        ints = pytype('[I')
        self.assertEqual(('[I', '__kiv__'), (ints.__name__, ints.__module__))
        self.assertEqual('PyJType', type(t).__name__)

    def test_array_list_order(self):
        self.assertEqual(['ArrayList', 'AbstractList', 'AbstractCollection', 'Object', 'object', 'Collection',
                          'Iterable', 'List', 'RandomAccess', 'Cloneable', 'Serializable'],
                         [c.__name__ for c in type(F.list).__mro__])

    def test_bases_follow_java(self):
        self.assertEqual((object,), pytype('java.lang.Runnable').__bases__)
        cache = _kiv.__javaTypeCache__
        self.assertIs(cache['java.lang.Object'], pytype('java.lang.Object'))
        self.assertEqual((cache['java.lang.Iterable'],), cache['java.util.Collection'].__bases__)
        self.assertEqual((cache['java.util.Collection'],), pytype('java.util.Set').__bases__)
        self.assertIn(cache['java.util.List'], type(F.list).__mro__)
        self.assertIn(cache['java.util.Map'], type(F.map).__mro__)
        self.assertIn(cache['java.lang.Number'], pytype('java.lang.Integer').__mro__)

    def test_one_type_per_class(self):
        self.assertIs(type(F.list), pytype('java.util.ArrayList'))
        self.assertIs(pytype('java.util.ArrayList'), findClass('java.util.ArrayList').__pytype__)
        self.assertIs(_kiv.__javaTypeCache__['java.util.ArrayList'], type(F.list))

    def test_dictionary(self):
        d = pytype('java.lang.Math').__dict__
        self.assertEqual((), d['__slots__'])
        self.assertEqual('PyJMultiMethod', type(d['abs']).__name__)
        self.assertEqual('PyJMethod', type(d['sqrt']).__name__)
        self.assertEqual('PyJField', type(d['PI']).__name__)
        with self.assertRaises(AttributeError):
            F.list.__dict__
        with self.assertRaises(AttributeError):
            F.list.notAField = 1

    def test_single_abstract_method_interfaces_are_callable(self):
        self.assertEqual('run', pytype('java.lang.Runnable').__dict__['__call__'].__name__)
        self.assertNotIn('__call__', pytype('java.util.Comparator').__dict__)
        self.assertTrue(callable(F.list))  # Iterable.iterator()

    def test_instances_are_refused(self):
        cache = _kiv.__javaTypeCache__
        for t in (type(F.list), pytype('java.lang.Runnable'), pytype('java.util.concurrent.RunnableFuture'),
                  pytype('java.util.Deque'), cache['java.util.List'], cache['java.lang.Number'],
                  cache['java.lang.AutoCloseable']):
            with self.assertRaises(TypeError, msg=t.__name__):
                t()
            with self.assertRaises(TypeError, msg=t.__name__):
                object.__new__(t)

    def test_primitive_class(self):
        Integer = findClass('java.lang.Integer')
        with self.assertRaisesRegex(TypeError, 'primitive type: int'):
            Integer.TYPE.__pytype__
        self.assertEqual({}, Integer.TYPE.__dict__)

    def test_threads_agree_on_types(self):
        names = ['java.util.concurrent.Exchanger', 'java.util.zip.CRC32C', 'java.text.ChoiceFormat',
                 'java.util.concurrent.ConcurrentSkipListSet', 'java.util.StringJoiner',
                 'java.util.concurrent.atomic.LongAdder', 'java.util.BitSet', 'java.util.PriorityQueue']
        barrier = threading.Barrier(6)
        results, errors = [], []

        def work():
            try:
                barrier.wait()
                results.append([findClass(n).__pytype__ for n in names])
            except BaseException as e:  # reported by the assertion below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual([], errors)
        cache = _kiv.__javaTypeCache__
        for row in results:
            self.assertEqual([cache[n] for n in names], row)
            for n, t in zip(names, row):
                self.assertIs(cache[n], t)


class SharedClassReferenceTest(unittest.TestCase):
    """Wrappers of one class share their type's reference to the class."""

    def test_wrappers_outlive_an_emptied_type_cache(self):
        ArrayList = findClass('java.util.ArrayList')
        lists = [ArrayList() for _ in range(50)]
        for i, l in enumerate(lists):
            l.add(i)
        old = type(lists[0])
        saved = dict(_kiv.__javaTypeCache__)
        _kiv.__javaTypeCache__.clear()
        try:
            gc.collect()
            again = F.list  # an ArrayList of a type built anew
            self.assertIsNot(old, type(again))
            size = again.size()
            self.assertEqual([[i] for i in range(50)], [[x for x in l] for l in lists])
            del lists, old
            gc.collect()
            made = ArrayList()
            made.add('y')
            self.assertEqual((size, '[y]'), (again.size(), str(made)))
        finally:
            _kiv.__javaTypeCache__.clear()
            _kiv.__javaTypeCache__.update(saved)

    def test_objects_of_subclasses_keep_their_own_class(self):
        HashMap = findClass('java.util.HashMap')
        linked = findClass('java.util.LinkedHashMap')()
        plain = HashMap()
        for m in (linked, plain, linked, plain):
            m.put('k', 1)
        self.assertEqual('class java.util.LinkedHashMap', str(linked.getClass()))
        self.assertEqual('class java.util.HashMap', str(plain.getClass()))
        self.assertEqual((1, 1), (linked.get('k'), plain.get('k')))


class ClassWrapperTest(unittest.TestCase):

    def test_isinstance_and_issubclass(self):
        List, Map, ArrayList = findClass('java.util.List'), findClass('java.util.Map'), findClass('java.util.ArrayList')
        self.assertIsInstance(F.list, List)
        self.assertNotIsInstance(F.list, Map)
        self.assertNotIsInstance('text', List)
        self.assertTrue(issubclass(ArrayList, List))
        self.assertFalse(issubclass(List, ArrayList))
        self.assertTrue(issubclass(type(F.list), List))
        self.assertFalse(issubclass(int, List))

    def test_attributes(self):
        Map = findClass('java.util.Map')
        self.assertEqual('java.util.Map$Entry', Map.Entry.java_name)
        self.assertIs(pytype('java.util.Map$Entry'), Map.Entry.__pytype__)
        Math = findClass('java.lang.Math')
        self.assertIs(Math.abs, Math.abs)  # bound once per wrapper
        self.assertIs(Math, Math.abs.__self__)
        self.assertEqual(3.141592653589793, Math.PI)
        self.assertEqual('class java.lang.String', str(findClass('java.lang.String')))

    def test_assignment_errors(self):
        Map, Math = findClass('java.util.Map'), findClass('java.lang.Math')
        with self.assertRaisesRegex(AttributeError, "'java.util.Map' object has no attribute 'nope'"):
            Map.nope = 1
        with self.assertRaisesRegex(AttributeError, "cannot assign to attribute 'Entry'"):
            Map.Entry = 1
        with self.assertRaisesRegex(AttributeError, "cannot assign to method 'abs'"):
            Math.abs = 1
        with self.assertRaisesRegex(TypeError, 'Deleting attributes'):
            del Math.abs
        self.assertEqual('java.util.Map$Entry', Map.Entry.java_name)

    def test_wrappers_holding_bound_methods_are_collected(self):
        def live():
            return sum(1 for o in gc.get_objects() if type(o).__name__ == 'PyJClass')
        gc.collect()
        before = live()
        for _ in range(20):
            w = findClass('java.lang.Math')
            w.abs  # kept by the wrapper, bound to it: a cycle
        del w
        gc.collect()
        self.assertLessEqual(live(), before)

    def test_wrapper_type_cannot_be_called(self):
        with self.assertRaises(TypeError):
            type(findClass('java.lang.Math'))()


if __name__ == '__main__':
    unittest.main()
