# kiv: subinterpreter
"""Converters and types belong to the interpreter that made them."""
import unittest

import _kiv

F = _kiv.findClass('kivtest.FieldFixture')
Marker = _kiv.findClass('kivtest.FieldFixture$Marker')


def in_main_interpreter(code):
    """Runs code in the main interpreter, through a binding that Java makes on this thread."""
    main = _kiv.findClass('kiv.SharedInterpreter')()
    try:
        main.exec(code)
    finally:
        main.close()


class IsolationTest(unittest.TestCase):

    def test_converter_of_the_main_interpreter_does_not_apply_here(self):
        in_main_interpreter(
            "import _kiv\n"
            "Marker = _kiv.findClass('kivtest.FieldFixture$Marker')\n"
            "_kiv.setJavaToPythonConverter(Marker, lambda m: 'main interpreter')\n"
            "assert _kiv.findClass('kivtest.FieldFixture').marker == 'main interpreter'")
        try:
            self.assertIsInstance(F.marker, Marker)
            self.assertNotIn('_to_python', Marker.__pytype__.__dict__)
            _kiv.setJavaToPythonConverter(Marker, lambda m: 'sub-interpreter')
            self.assertEqual('sub-interpreter', F.marker)
            # ...and the one made here stays here.
            in_main_interpreter(
                "import _kiv\n"
                "assert _kiv.findClass('kivtest.FieldFixture').marker == 'main interpreter'")
        finally:
            in_main_interpreter(
                "import _kiv\n"
                "_kiv.setJavaToPythonConverter(_kiv.findClass('kivtest.FieldFixture$Marker'), None)")

    def test_types_are_built_again_after_the_cache_is_emptied(self):
        cache = _kiv.__javaTypeCache__
        old_list, old_array_list = cache['java.util.List'], type(F.list)
        cache.clear()
        self.assertIsInstance(F.list, _kiv.findClass('java.util.List'))
        self.assertIsNot(old_list, cache['java.util.List'])
        self.assertIsNot(old_array_list, type(F.list))
        self.assertIn(cache['java.util.List'], _kiv.findClass('java.util.ArrayList').__pytype__.__mro__)
        self.assertIs(cache['java.lang.Object'], _kiv.findClass('java.lang.Object').__pytype__)
        cache['java.util.TreeMap'] = 5  # never handed on as a type
        with self.assertRaisesRegex(TypeError, 'not a type'):
            _kiv.findClass('java.util.TreeMap')


if __name__ == '__main__':
    unittest.main()
