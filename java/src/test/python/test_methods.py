"""Java methods and constructors called from Python: overloads, variable arguments,
keywords, results of every kind and the errors of misuse."""
import unittest

import _kiv

ArrayList = _kiv.findClass('java.util.ArrayList')
HashMap = _kiv.findClass('java.util.HashMap')
Math = _kiv.findClass('java.lang.Math')
String = _kiv.findClass('java.lang.String')
StringBuilder = _kiv.findClass('java.lang.StringBuilder')
IndexOutOfBounds = _kiv.findClass('java.lang.IndexOutOfBoundsException')
Fixture = _kiv.forName('kivtest.MethodFixture')


class CollectionsAndStatics(unittest.TestCase):

    def test_array_list(self):
        lst = ArrayList()
        lst.add(1)
        lst.add('x')
        self.assertEqual(2, lst.size())
        self.assertEqual(1, lst.get(0))
        self.assertEqual('x', lst.get(1))
        with self.assertRaises(IndexError) as caught:
            lst.get(5)
        self.assertTrue(isinstance(caught.exception.args[0], IndexOutOfBounds))

    def test_static_calls(self):
        self.assertEqual(1.5, Math.abs(-1.5))
        self.assertEqual(3, Math.abs(-3))
        self.assertEqual(3.5, Math.max(2, 3.5))
        self.assertEqual('a-b', String.format('%s-%s', 'a', 'b'))
        self.assertEqual('x1true', StringBuilder('x').append(1).append(True).toString())

    def test_static_method_through_an_instance(self):
        self.assertEqual('one(int)', Fixture('n').one(5))
        self.assertEqual('two(int,int)', Fixture().two(1, 2))


class Overloads(unittest.TestCase):

    def test_score_table_picks_the_closest_parameter(self):
        self.assertEqual('long', Fixture.f(5))
        self.assertEqual('boolean', Fixture.f(True))
        self.assertEqual('double', Fixture.f(2.5))
        self.assertEqual('String', Fixture.f('s'))
        self.assertEqual('Object', Fixture.f(None))
        self.assertEqual('Object', Fixture.f([1]))
        # The same choices again, now remembered by argument shape.
        for _ in range(3):
            self.assertEqual(['long', 'boolean', 'double', 'String', 'Object'],
                             [Fixture.f(5), Fixture.f(True), Fixture.f(2.5), Fixture.f('s'), Fixture.f(None)])

    def test_count_filters_before_scoring(self):
        self.assertEqual('two(int)', Fixture.two(1))
        self.assertEqual('two(int,int)', Fixture.two(1, 2))
        with self.assertRaises(NameError) as caught:
            Fixture.two()
        self.assertEqual('No such Method.', str(caught.exception))

    def test_keywords_to_overloads_without_the_keyword_flag(self):
        with self.assertRaises(NameError):
            Fixture.two(1, y=2)
        with self.assertRaises(RuntimeError) as caught:
            Fixture.one(1, y=2)
        self.assertEqual('Keywords are not supported.', str(caught.exception))

    def test_multimethod_attributes(self):
        mm = type(Fixture()).__dict__['two']
        self.assertEqual('two', mm.__name__)
        self.assertEqual(2, len(mm.__methods__))
        self.assertIs(mm, type(Fixture()).two)


class VariableArgumentsAndKeywords(unittest.TestCase):

    def test_varargs(self):
        self.assertEqual('0:', Fixture.join())
        self.assertEqual('1:a', Fixture.join('a'))
        self.assertEqual('2:a,b', Fixture.join('a', 'b'))
        arr = String('x,y').split(',')  # a Java String[]
        self.assertEqual('2:x,y', Fixture.join(arr))
        # 'b' does not fit String[] itself, so it becomes the one element of the array.
        self.assertEqual('1:b', Fixture.tagged(1, 'b'))
        self.assertEqual('1:', Fixture.tagged(1))

    def test_keywords(self):
        self.assertEqual('a {x=1, y=two}', Fixture.named('a', x=1, y='two'))
        self.assertEqual('a null', Fixture.named('a'))
        self.assertEqual('[1, 2] {k=v}', Fixture.both(1, 2, k='v'))
        with self.assertRaises(RuntimeError) as caught:
            Fixture.named()
        self.assertEqual('Invalid number of arguments: 1, expected 3.', str(caught.exception))

    def test_malformed_flags_are_refused(self):
        with self.assertRaises(TypeError) as caught:
            Fixture.malformed()
        self.assertIn('kwargs=true', str(caught.exception))


class Results(unittest.TestCase):

    def test_results_of_every_kind(self):
        self.assertEqual('z', Fixture.letter())
        self.assertEqual(-1, Fixture.allBits())
        self.assertEqual(-32768, Fixture.minShort())
        self.assertEqual(0.3333333432674408, Fixture.third())
        self.assertIsNone(Fixture.nothing())
        for name in ('nullString', 'nullArray', 'nullClass', 'nullObject'):
            self.assertIsNone(getattr(Fixture, name)(), name)
        self.assertEqual('java.lang.String', Fixture.stringClass().java_name)

    def test_a_method_returning_its_receiver(self):
        b = StringBuilder()
        results = [b.append(i) for i in range(4)]
        self.assertEqual('0123', b.toString())
        self.assertIs(b, results[-1], 'a builder returns the wrapper it was called on')
        other = StringBuilder('x')
        self.assertIsNot(b, other.append(1))
        self.assertEqual('x1', other.append('').toString())
        # Receivers whose results are converted, not wrapped, stay converted.
        s = String('abc')
        for _ in range(3):
            self.assertEqual('abc', s.subSequence(0, 3))
            self.assertIsInstance(s.subSequence(0, 3), str)
        # A conversion hook set between two calls is applied to the receiver returned.
        setConverter = _kiv.setJavaToPythonConverter
        setConverter(StringBuilder, lambda o: 'converted ' + o.toString())
        try:
            self.assertEqual('converted 01234', b.append(4))
        finally:
            setConverter(StringBuilder, None)
        self.assertIs(b, b.append(5))

    def test_object_results_leave_no_jni_reference_behind(self):
        # The suite runs under -Xcheck:jni, which reports a call from Java whose JNI local
        # references outgrow its frame: thousands of results within one call must not.
        held = ArrayList()
        held.add(StringBuilder('a'))
        held.add('text')
        wrapped = [held.get(0) for _ in range(3000)]
        texts = [held.get(1) for _ in range(3000)]
        self.assertEqual({'a'}, {w.toString() for w in wrapped})
        self.assertEqual({'text'}, set(texts))

    def test_method_read_through_the_type(self):
        method = type(Fixture()).__dict__['name']
        self.assertEqual('name', method.__name__)
        self.assertIs(method, type(Fixture()).name)


class Misuse(unittest.TestCase):

    def test_instance_method_through_the_class(self):
        with self.assertRaises(RuntimeError) as caught:
            Fixture.name()
        self.assertEqual('Instantiate this class before calling an object method.', str(caught.exception))
        with self.assertRaises(RuntimeError):
            Fixture.greet(Fixture(), 'x')

    def test_receiver_of_another_class_is_refused(self):
        size = type(ArrayList()).size
        self.assertEqual(0, size(ArrayList()))
        with self.assertRaises(TypeError):
            size(HashMap())
        with self.assertRaises(RuntimeError) as caught:
            size('not java')
        self.assertEqual('First argument to a java method must be a java object.', str(caught.exception))

    def test_receivers_that_passed_once_do_not_vouch_for_others(self):
        size = type(ArrayList()).size
        AttributeList = _kiv.findClass('javax.management.AttributeList')  # extends ArrayList
        one, sub = ArrayList(), AttributeList()
        one.add(1)
        for _ in range(3):
            self.assertEqual(1, size(one))
            self.assertEqual(0, size(sub))
            with self.assertRaisesRegex(TypeError, 'cannot be used with'):
                size(HashMap())
            with self.assertRaisesRegex(TypeError, 'cannot be used with'):
                size(StringBuilder())
        # A Python subclass of a Java type, and a class wrapper, are checked every time.
        class Sub(type(one)):
            pass
        with self.assertRaises(TypeError):
            Sub()
        with self.assertRaises(RuntimeError):
            size(ArrayList)

    def test_argument_errors_name_their_position(self):
        with self.assertRaises(TypeError) as caught:
            Fixture('n').greet(5)
        self.assertTrue(str(caught.exception).startswith('Error converting parameter 1: '), str(caught.exception))
        with self.assertRaises(RuntimeError) as caught:
            Fixture('n').greet()
        self.assertEqual('Invalid number of arguments: 1, expected 2.', str(caught.exception))


class Constructors(unittest.TestCase):

    def test_constructors(self):
        lst = ArrayList()
        self.assertEqual(0, lst.size())
        self.assertIs(type(lst), ArrayList.__pytype__)
        s = String('text')
        self.assertEqual('text', str(s))
        self.assertNotIsInstance(s, str)
        self.assertEqual('default', Fixture().name())
        self.assertEqual('given', Fixture('given').name())
        self.assertEqual('7abc', Fixture(7, 'a', 'b', 'c').name())

    def test_constructor_failures(self):
        with self.assertRaises(TypeError) as caught:
            Fixture.NoConstructor()
        self.assertEqual('No public constructor', str(caught.exception))
        self.assertIsNotNone(Fixture.NoConstructor.make())
        with self.assertRaises(Exception) as caught:
            Fixture.Abstract()
        self.assertIn('InstantiationException', str(caught.exception.args[0]))

    def test_keyword_constructor_counts_the_positional_parameters_only(self):
        self.assertEqual('a {x=1}', Fixture.Configured('a', x=1).text)
        self.assertEqual('a null', Fixture.Configured('a').text)
        with self.assertRaises(RuntimeError) as caught:
            Fixture.Configured(x=1)
        self.assertEqual('Invalid number of arguments: 1, expected 2.', str(caught.exception))


if __name__ == '__main__':
    unittest.main()
