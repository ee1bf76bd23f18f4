# kiv: subinterpreter
"""The imports of Java packages in an isolated sub-interpreter, which has its own."""
import sys
import unittest

from test_java_imports import JavaImportTest  # noqa: F401  (run here too)


class SubInterpreterImportTest(unittest.TestCase):

    def test_the_finder_is_this_interpreters_own(self):
        import kivimport
        self.assertIn(kivimport.JavaFinder, sys.meta_path)
        self.assertIs(sys.modules['kivimport'], kivimport)


if __name__ == '__main__':
    unittest.main()
