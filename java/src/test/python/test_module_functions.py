"""findClass, forName and setJavaToPythonConverter of the _kiv module."""
import functools
import threading
import unittest

import _kiv

findClass = _kiv.findClass
setConverter = _kiv.setJavaToPythonConverter
F = findClass('kivtest.FieldFixture')


class FindClassTest(unittest.TestCase):

    def test_find_class(self):
        name = 'java.util.ArrayList'
        c = findClass(name)
        self.assertEqual('java.util.ArrayList', name)
        self.assertEqual('java.util.ArrayList', c.java_name)
        self.assertEqual('java.util.Map$Entry', findClass('java.util.Map$Entry').java_name)

    def test_names_beyond_the_basic_plane(self):
        name = 'kivtest.FieldFixture$\U0001D49C'
        self.assertEqual(name, findClass(name).java_name)
        self.assertEqual(name, _kiv.forName(name).java_name)
        self.assertEqual(name, getattr(F, '\U0001D49C').java_name)

    def test_missing_classes(self):
        with self.assertRaisesRegex(RuntimeError, 'no/such/Cls'):
            findClass('no.such.Cls')
        with self.assertRaises(RuntimeError):
            findClass('no.such.\U0001F600')
        with self.assertRaises(ImportError):
            _kiv.forName('no.such.Cls')
        with self.assertRaises(TypeError):
            findClass(5)

    def test_for_name(self):
        self.assertEqual('java.util.Map$Entry', _kiv.forName('java.util.Map$Entry').java_name)
        self.assertEqual('kivtest.FieldFixture', _kiv.forName('kivtest.FieldFixture').java_name)
        with self.assertRaises(ImportError):
            _kiv.forName('java.util.Map.Entry')

    def test_for_name_needs_the_thread_of_a_kiv(self):
        caught = []

        def work():
            try:
                _kiv.forName('java.lang.String')
            except BaseException as e:  # examined below
                caught.append(e)

        t = threading.Thread(target=work)
        t.start()
        t.join()
        self.assertEqual(1, len(caught))
        self.assertIsInstance(caught[0], RuntimeError)
        self.assertEqual('No Kiv instance available on current thread.', str(caught[0]))


class ConverterTest(unittest.TestCase):

    def setUp(self):
        self.Map = findClass('java.util.Map')
        self.HashMap = findClass('java.util.HashMap')

    def tearDown(self):
        for t in (self.Map, self.HashMap):
            if '_to_python' in t.__pytype__.__dict__:
                setConverter(t, None)

    def test_supertype_converter_applies_until_removed(self):
        self.assertIsNone(setConverter(self.Map, lambda m: ('converted', str(m))))
        self.assertEqual(('converted', '{a=1}'), F.map)
        self.assertIsNone(setConverter(self.Map, None))
        self.assertIsInstance(F.map, self.HashMap)

    def test_removing_an_inherited_converter_is_refused(self):
        setConverter(self.Map, lambda m: 'map')
        with self.assertRaises(AttributeError):
            setConverter(self.HashMap, None)
        self.assertEqual('map', F.map)

    def test_removing_a_converter_that_was_never_set(self):
        plain = findClass('kivtest.FieldFixture$Plain').__pytype__
        self.assertIsNone(setConverter(plain, None))
        self.assertNotIn('_to_python', plain.__dict__)

    def test_callables_that_are_not_functions_get_the_object(self):
        setConverter(self.HashMap, str)
        self.assertEqual('{a=1}', F.map)
        setConverter(self.HashMap.__pytype__, functools.partial(lambda tag, m: (tag, str(m)), 'p'))
        self.assertEqual(('p', '{a=1}'), F.map)

        class Counter:
            def __call__(self, m):
                return len(str(m))
        setConverter(self.HashMap, Counter())
        self.assertEqual(5, F.map)

    def test_a_raising_converter_fails_the_conversion(self):
        def boom(m):
            raise ValueError('no maps today')
        setConverter(self.Map, boom)
        with self.assertRaisesRegex(ValueError, 'no maps today'):
            F.map

    def test_bad_arguments(self):
        with self.assertRaisesRegex(RuntimeError, 'First argument'):
            setConverter('java.util.Map', str)
        with self.assertRaisesRegex(RuntimeError, 'Second argument'):
            setConverter(self.Map, 5)
        with self.assertRaises(TypeError):
            setConverter(int, str)

    def test_converter_of_a_nested_class(self):
        Marker = findClass('kivtest.FieldFixture$Marker')
        try:
            setConverter(Marker, lambda m: 'converted marker')
            self.assertEqual('converted marker', F.marker)
        finally:
            setConverter(Marker, None)
        self.assertIsInstance(F.marker, Marker)


if __name__ == '__main__':
    unittest.main()
