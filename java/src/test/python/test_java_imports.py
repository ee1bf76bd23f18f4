"""Java packages and classes imported as Python modules (the kivimport package)."""
import importlib
import os
import sys
import tempfile
import unittest


def _name(java_class):
    """The binary name of a Java class, from its str() ("class a.B", "interface a.C")."""
    return str(java_class).split()[-1]


class JavaImportTest(unittest.TestCase):

    def test_classes_from_packages(self):
        from java.util import ArrayList, HashMap
        from java.lang import Math
        lst = ArrayList()
        lst.add('x')
        m = HashMap()
        m.put('k', 2)
        self.assertEqual(lst.size(), 1)
        self.assertEqual(m.get('k'), 2)
        self.assertEqual(Math.max(2, 7), 7)
        import java.lang
        self.assertEqual(java.lang.Math.abs(-3), 3)
        self.assertEqual(java.lang.String.valueOf(12), '12')

    def test_packages_are_modules_with_subpackages_on_demand(self):
        import java.util
        self.assertIs(sys.modules['java.util'], java.util)
        self.assertEqual(java.util.__name__, 'java.util')
        # Reached as attributes without an import statement of their own.
        self.assertEqual(_name(java.util.function.Function), 'java.util.function.Function')
        self.assertIs(sys.modules['java.util.function'], java.util.function)
        self.assertEqual(_name(java.util.ArrayList), 'java.util.ArrayList')
        self.assertIn('ArrayList', dir(java.util))

    def test_nested_classes(self):
        from java.util.Map import Entry
        import java.util
        self.assertEqual(_name(Entry), 'java.util.Map$Entry')
        self.assertEqual(_name(java.util.Map.Entry), 'java.util.Map$Entry')
        from java.util import AbstractMap
        entry = AbstractMap.SimpleEntry('a', 1)
        self.assertEqual((entry.getKey(), entry.getValue()), ('a', 1))

    def test_a_class_by_its_full_name(self):
        import java.util.ArrayDeque
        deque = sys.modules['java.util.ArrayDeque']
        self.assertEqual(_name(deque), 'java.util.ArrayDeque')
        self.assertEqual(_name(importlib.import_module('java.util.concurrent.TimeUnit')),
                         'java.util.concurrent.TimeUnit')

    def test_names_that_are_neither_class_nor_package(self):
        with self.assertRaises(ModuleNotFoundError):
            import java.util.NoSuchThingHere  # noqa: F401
        with self.assertRaises(ImportError):
            from java.util import NoSuchThingHere  # noqa: F401
        with self.assertRaises(ModuleNotFoundError):
            import kiv_no_such_top_level_name  # noqa: F401
        import java.util
        with self.assertRaises(AttributeError):
            java.util.NoSuchThingHere
        # importlib's probing answers None, as for any missing module.
        self.assertIsNone(importlib.util.find_spec('kiv_no_such_top_level_name'))
        self.assertIsNone(importlib.util.find_spec('java.util.NoSuchThingHere'))
        self.assertIsNotNone(importlib.util.find_spec('java.util'))

    def _on_path(self, files):
        """A new folder on sys.path holding files (relative name -> text)."""
        d = tempfile.mkdtemp()
        for name, text in files.items():
            path = os.path.join(d, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'w') as f:
                f.write(text)
        sys.path.insert(0, d)
        importlib.invalidate_caches()

        def cleanup():
            sys.path.remove(d)
            for name in [n for n in sys.modules if n.split('.')[0] in ('com', 'org')]:
                del sys.modules[name]
        self.addCleanup(cleanup)

    def test_python_packages_of_the_same_name_come_first(self):
        self._on_path({'com/__init__.py': 'MARK = "python"\n', 'com/mine.py': 'VALUE = 1\n'})
        import com
        import com.mine
        self.assertEqual((com.MARK, com.mine.VALUE), ('python', 1))
        # Under a Python package nothing is looked up in Java (com.sun exists in the JDK).
        with self.assertRaises(ModuleNotFoundError):
            import com.sun.net.httpserver  # noqa: F401

    def test_a_folder_without_init_yields_but_keeps_its_modules(self):
        self._on_path({'org/mine.py': 'VALUE = 2\n'})
        import org
        import org.mine
        from org.w3c.dom import Node
        self.assertEqual(org.mine.VALUE, 2)
        self.assertEqual(_name(Node), 'org.w3c.dom.Node')
        self.assertIn('Java package', repr(org))


if __name__ == '__main__':
    unittest.main()
