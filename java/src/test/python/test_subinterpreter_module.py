# kiv: subinterpreter
"""An isolated sub-interpreter gets a _kiv module of its own."""
import sys
import unittest

import _kiv


class SubInterpreterModuleTest(unittest.TestCase):

    def test_module_is_registered(self):
        self.assertIs(sys.modules['_kiv'], _kiv)
        self.assertFalse(hasattr(_kiv, 'mainInterpreterModules'))
        self.assertFalse(hasattr(_kiv, 'mainInterpreterModulesLock'))

    def test_cache_attribute_can_go_but_the_module_keeps_working(self):
        cache = _kiv.__javaTypeCache__
        try:
            del _kiv.__javaTypeCache__
            self.assertFalse(hasattr(_kiv, '__javaTypeCache__'))
        finally:
            _kiv.__javaTypeCache__ = cache


if __name__ == '__main__':
    unittest.main()
