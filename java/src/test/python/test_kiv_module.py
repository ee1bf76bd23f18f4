"""The _kiv module of a shared interpreter and the library types it registers."""
import gc
import unittest

import _kiv


def library_types():
    """The library's Python types of this interpreter, by their full names."""
    found = {}
    for obj in gc.get_objects():
        if isinstance(obj, type):
            module = getattr(obj, '__module__', None)  # a dotless spec name gives no module
            name = obj.__qualname__ if module in (None, 'builtins') else module + '.' + obj.__qualname__
            if name in TYPE_NAMES:
                found.setdefault(name, []).append(obj)
    return found


TYPE_NAMES = ('PyJType', 'kiv.PyJField', 'kiv.PyJMethod', 'kiv.PyJConstructor', 'kiv.PyJMultiMethod',
              'java.lang.Object', 'kiv.PyJClass', 'kiv.PyJArray', 'kiv.PyJMonitor', 'kiv.PyJArrayIter')


class ModuleTest(unittest.TestCase):

    def test_type_codes_and_flags(self):
        codes = {name: getattr(_kiv, name) for name in dir(_kiv) if name.endswith('_ID')}
        self.assertEqual({'JBOOLEAN_ID': 'z', 'JINT_ID': 'i', 'JLONG_ID': 'j', 'JDOUBLE_ID': 'd',
                          'JSHORT_ID': 's', 'JFLOAT_ID': 'f', 'JCHAR_ID': 'c', 'JBYTE_ID': 'b'}, codes)
        self.assertEqual(1, _kiv.KIV_NUMPY_ENABLED)
        self.assertIsInstance(_kiv.__javaTypeCache__, dict)

    def test_module_functions_are_present(self):
        for name in ('findClass', 'forName', 'jarray', 'jproxy', 'setJavaToPythonConverter'):
            self.assertTrue(callable(getattr(_kiv, name)), name)

    def test_the_ten_types_exist_once_with_their_bases(self):
        found = library_types()
        self.assertEqual(set(TYPE_NAMES), set(found))
        for name, types in found.items():
            self.assertEqual(1, len(types), name)
        t = {name: types[0] for name, types in found.items()}
        self.assertTrue(issubclass(t['PyJType'], type))
        self.assertTrue(issubclass(t['kiv.PyJClass'], t['java.lang.Object']))
        self.assertTrue(issubclass(t['kiv.PyJArray'], t['java.lang.Object']))
        self.assertTrue(issubclass(t['kiv.PyJConstructor'], t['kiv.PyJMethod']))
        self.assertFalse(issubclass(t['kiv.PyJMethod'], t['java.lang.Object']))

    def test_library_types_cannot_be_made_from_python(self):
        found = library_types()
        for name in TYPE_NAMES:
            if name == 'PyJType':
                continue
            with self.assertRaises(TypeError, msg=name):
                found[name][0]()


if __name__ == '__main__':
    unittest.main()
