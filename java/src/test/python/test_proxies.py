"""Python objects implementing Java interfaces: _kiv.jproxy and functional interfaces."""
import gc
import sys
import unittest

import _kiv

jproxy = _kiv.jproxy
findClass = _kiv.findClass
Fixture = findClass('kivtest.ProxyFixture')
ArrayList = findClass('java.util.ArrayList')
Collections = findClass('java.util.Collections')
Optional = findClass('java.util.Optional')
System = findClass('java.lang.System')

RUNNABLE = ['java.lang.Runnable']


class Counting:
    def __init__(self):
        self.calls = 0

    def run(self):
        self.calls += 1


def java_list(*items):
    lst = ArrayList()
    for item in items:
        lst.add(item)
    return lst


def items_of(lst):
    return [lst.get(i) for i in range(lst.size())]


class JproxyTest(unittest.TestCase):

    def test_run_calls_the_python_method(self):
        r = Counting()
        p = jproxy(r, RUNNABLE)
        Fixture.runIt(p)
        p.run()
        self.assertEqual(2, r.calls)
        self.assertTrue(findClass('java.lang.reflect.Proxy').isProxyClass(p.getClass()))

    def test_a_python_comparator_sorts_a_java_list(self):
        class ByLength:
            def compare(self, a, b):
                return len(a) - len(b)

        lst = java_list('ccc', 'a', 'bb', 'dddd')
        Collections.sort(lst, jproxy(ByLength(), ['java.util.Comparator']))
        self.assertEqual(['a', 'bb', 'ccc', 'dddd'], items_of(lst))

    def test_object_methods_the_python_object_lacks_are_java_ones(self):
        p = jproxy(Counting(), RUNNABLE)
        text = p.toString()
        self.assertEqual(p.getClass().java_name + '@' + format(System.identityHashCode(p), 'x'), text)
        self.assertEqual(System.identityHashCode(p), p.hashCode())
        self.assertTrue(p.equals(p))
        self.assertFalse(p.equals(jproxy(Counting(), RUNNABLE)))

    def test_object_methods_the_python_object_defines(self):
        class Named(Counting):
            def toString(self):
                return 'named'

            def hashCode(self):
                return 42

            def equals(self, other):
                return other is None

        p = jproxy(Named(), RUNNABLE)
        self.assertEqual('named', p.toString())
        self.assertEqual(42, p.hashCode())
        self.assertTrue(p.equals(None))
        self.assertFalse(p.equals(p))

    def test_a_default_method_runs_its_java_body(self):
        class Square:
            def area(self):
                return 4.0

            def sides(self):
                return 4

        s = jproxy(Square(), ['kivtest.ProxyFixture$Shape'])
        self.assertEqual('4 sides, area 4.0', Fixture.describe(s))
        self.assertEqual('4 sides, area 4.0', s.describe())

        class Custom(Square):
            def describe(self):
                return 'custom'

        self.assertEqual('custom', Fixture.describe(jproxy(Custom(), ['kivtest.ProxyFixture$Shape'])))

    def test_a_default_body_receives_primitive_arguments(self):
        class Named:
            def name(self):
                return 'abc'

        m = jproxy(Named(), ['kivtest.ProxyFixture$Mixer'])
        expected = 1 + 1 + ord('c') + 2 + 3 + 4 + 5 + 6 + len('abc')
        self.assertEqual(expected, m.mix(True, 1, 'c', 2, 3, 4, 5.5, 6.5, None))
        self.assertEqual(expected + 1000, m.mix(True, 1, 'c', 2, 3, 4, 5.5, 6.5, 'x'))

    def test_results_are_converted_to_the_return_type(self):
        class Values:
            def __init__(self):
                self.nothing_calls = 0

            def aBoolean(self):
                return True

            def aByte(self):
                return -7

            def aChar(self):
                return '\u00e9'

            def aShort(self):
                return 300

            def anInt(self):
                return 3

            def aLong(self):
                return 2 ** 40

            def aFloat(self):
                return 1.5

            def aDouble(self):
                return 2.25

            def aString(self):
                return 'text \U0001F600'

            def nothing(self):
                self.nothing_calls += 1
                return 'ignored'

        v = Values()
        self.assertEqual('true -7 \u00e9 300 3 1099511627776 1.5 2.25 text \U0001F600',
                         Fixture.readAll(jproxy(v, ['kivtest.ProxyFixture$Values'])))
        self.assertEqual(1, v.nothing_calls)

    def test_none_where_a_primitive_is_required_is_refused(self):
        class Empty:
            def next(self):
                return None

        with self.assertRaisesRegex(RuntimeError, "Python method 'next' returned None where int is required"):
            Fixture.next(jproxy(Empty(), ['kivtest.ProxyFixture$Counter']))

    def test_a_result_that_does_not_convert_is_refused(self):
        class Whole:
            def area(self):
                return 3  # an int does not become a Double

            def sides(self):
                return 'four'

        s = jproxy(Whole(), ['kivtest.ProxyFixture$Shape'])
        with self.assertRaisesRegex(TypeError, 'Expected java.lang.Double but received a int'):
            s.area()
        with self.assertRaisesRegex(TypeError, 'Expected java.lang.Integer but received a str'):
            s.sides()

    def test_python_exceptions_reach_java_and_come_back(self):
        class Raising:
            def run(self):
                raise KeyError('k')

        p = jproxy(Raising(), RUNNABLE)
        with self.assertRaises(KeyError):
            Fixture.runIt(p)
        self.assertEqual("kiv.KivException: <class 'KeyError'>: k", Fixture.outcome(p))

    def test_java_exceptions_reach_java_unchanged(self):
        class CallsJava:
            def run(self):
                Fixture.fail('from java')

        self.assertEqual('java.lang.IllegalStateException: from java',
                         Fixture.outcome(jproxy(CallsJava(), RUNNABLE)))
        failing = jproxy(Counting(), ['kivtest.ProxyFixture$Failing'])
        self.assertEqual('java.lang.UnsupportedOperationException: from the default body', Fixture.boom(failing))

    def test_a_missing_method_is_an_attribute_error(self):
        with self.assertRaises(AttributeError):
            Fixture.runIt(jproxy(object(), RUNNABLE))

    def test_argument_errors(self):
        with self.assertRaisesRegex(ValueError, r'^Empty interface list\.$'):
            jproxy(Counting(), [])
        with self.assertRaisesRegex(ValueError, r'^Item 1 not a string\.$'):
            jproxy(Counting(), ['java.lang.Runnable', 5])
        with self.assertRaises(TypeError):
            jproxy(Counting(), ('java.lang.Runnable',))
        with self.assertRaises(TypeError):
            jproxy(Counting())

    def test_failures_take_no_reference(self):
        o = Counting()
        before = sys.getrefcount(o)
        with self.assertRaises(ImportError):
            jproxy(o, ['no.such.Iface'])
        with self.assertRaises(ValueError):
            jproxy(o, ['java.lang.String'])
        System.gc()
        gc.collect()
        findClass('java.lang.Thread').sleep(50)
        Fixture.runIt(jproxy(Counting(), RUNNABLE))  # a native call: queued releases run
        self.assertEqual(before, sys.getrefcount(o))

    def test_a_proxy_comes_back_as_its_python_object(self):
        r = Counting()
        p = jproxy(r, RUNNABLE)
        Fixture.hold(p)
        try:
            self.assertIs(r, Fixture.held())
        finally:
            Fixture.hold(None)


class FunctionalInterfaceTest(unittest.TestCase):

    def test_functions_for_function_supplier_and_predicate(self):
        self.assertEqual(10, Optional.of(5).map(lambda x: x * 2).get())
        self.assertEqual(7, Optional.empty().orElseGet(lambda: 7))
        self.assertTrue(Optional.of(5).filter(lambda x: x > 3).isPresent())
        self.assertFalse(Optional.of(2).filter(lambda x: x > 3).isPresent())
        lst = java_list(1, 2, 3, 4, 5)
        self.assertTrue(lst.removeIf(lambda x: x % 2 == 0))
        self.assertEqual([1, 3, 5], items_of(lst))

    def test_the_function_is_called_whatever_the_method_name(self):
        calls = []
        Fixture.runIt(lambda: calls.append('run'))
        self.assertEqual('done', Fixture.callIt(lambda: 'done'))
        self.assertEqual(['run'], calls)

    def test_default_methods_of_a_functional_interface_run_in_java(self):
        seen = []

        def inc(x):
            seen.append(x)
            return x + 1

        self.assertEqual(3, Fixture.twice(inc, 1))
        self.assertEqual([1, 2], seen)

    def test_bound_methods_and_callable_objects(self):
        class Adder:
            def __init__(self, n):
                self.n = n

            def add(self, x):
                return x + self.n

            def __call__(self, x):
                return x * self.n

        a = Adder(3)
        self.assertEqual(8, Optional.of(5).map(a.add).get())
        self.assertEqual(15, Optional.of(5).map(a).get())

    def test_exceptions_in_the_function(self):
        def bad(x):
            raise ValueError('bad value')

        with self.assertRaisesRegex(ValueError, 'bad value'):
            Optional.of(1).map(bad)


if __name__ == '__main__':
    unittest.main()
