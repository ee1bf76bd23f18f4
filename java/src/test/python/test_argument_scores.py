"""How well each kind of Python argument fits each kind of Java parameter: the scores
that overload selection adds up, read cell by cell through PyJMethod_CheckArguments on
one-parameter methods, and the base scores that the argument layout adds."""
import ctypes
import unittest

import _kiv

Fixture = _kiv.forName('kivtest.ScoreFixture')
MethodFixture = _kiv.forName('kivtest.MethodFixture')
ArrayList = _kiv.findClass('java.util.ArrayList')
String = _kiv.findClass('java.lang.String')

# The library is loaded already; its soname finds it without opening the file again.
# PyDLL keeps the interpreter lock held across the call, as the function requires, and
# raises the Python error if the call leaves one set.
_lib = ctypes.PyDLL('libkiv.so')
_lib.pyembed_get_env.restype = ctypes.c_void_p
_lib.pyembed_get_env.argtypes = []
_lib.PyJMethod_CheckArguments.restype = ctypes.c_int
_lib.PyJMethod_CheckArguments.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.py_object, ctypes.py_object]


def check_arguments(owner, name, args, keywords=None):
    """PyJMethod_CheckArguments of the method `name` of class wrapper `owner` for
    `args` (the receiver is prepended) and a keyword dict (empty: none)."""
    method = owner.__pytype__.__dict__[name]
    return _lib.PyJMethod_CheckArguments(method, _lib.pyembed_get_env(), (owner,) + tuple(args), keywords or {})


# Every parameter kind, by the fixture method that takes it.
PARAMETERS = {
    'boolean': 'pBoolean', 'byte': 'pByte', 'char': 'pChar', 'short': 'pShort',
    'int': 'pInt', 'long': 'pLong', 'float': 'pFloat', 'double': 'pDouble',
    'Object': 'rObject', 'String': 'rString', 'Class': 'rClass',
    'int[]': 'rIntArray', 'String[]': 'rStringArray',
    'Boolean': 'rBoolean', 'Long': 'rLong', 'Integer': 'rInteger', 'Short': 'rShort',
    'Double': 'rDouble', 'Float': 'rFloat', 'Number': 'rNumber', 'Comparable': 'rComparable',
    'CharSequence': 'rCharSequence', 'Collection': 'rCollection', 'List': 'rList',
    'ArrayList': 'rArrayList', 'Map': 'rMap', 'HashMap': 'rHashMap',
}

# A plain method whose one parameter the count fits starts at 3 (2 without keywords,
# 1 for the fitting count); the argument's match is added to that.
BASE = 3

# Reference parameters that share the type code of Object.
OBJECT_CODED = ('Object', 'Boolean', 'Long', 'Integer', 'Short', 'Double', 'Float', 'Number',
                'Comparable', 'CharSequence', 'Collection', 'List', 'ArrayList', 'Map', 'HashMap')


class MyInt(int):
    pass


class MyStr(str):
    pass


class MyFloat(float):
    pass


def expected_rows():
    """(description, argument, {parameter: score}); unnamed parameters score 0."""
    ints = {'long': 11, 'int': 10, 'double': 9, 'float': 8, 'short': 7, 'byte': 6, 'boolean': 5,
            'Long': 4, 'Integer': 3, 'Number': 2, 'Comparable': 2, 'Object': 1}
    strs = {'String': 3, 'Object': 1, 'CharSequence': 1, 'Comparable': 1}
    floats = {'double': 6, 'float': 5, 'Double': 4, 'Float': 3, 'Number': 2, 'Comparable': 2, 'Object': 1}
    return [
        ('True', True,
         {'boolean': 8, 'byte': 7, 'short': 6, 'int': 5, 'long': 4, 'Boolean': 3, 'Comparable': 2, 'Object': 1}),
        ('False', False,
         {'boolean': 8, 'byte': 7, 'short': 6, 'int': 5, 'long': 4, 'Boolean': 3, 'Comparable': 2, 'Object': 1}),
        ('5', 5, ints),
        ('2**70', 2 ** 70, ints),
        ('int subclass', MyInt(5), ints),
        ("'a'", 'a', dict(strs, char=2)),
        ("'ab'", 'ab', strs),
        ("''", '', strs),
        ('one-letter str subclass', MyStr('a'), dict(strs, char=2)),
        ('1.5', 1.5, floats),
        ('float subclass', MyFloat(1.5), floats),
        ('None', None, dict({p: 4 for p in OBJECT_CODED}, **{'int[]': 3, 'String[]': 3, 'String': 2, 'Class': 1})),
        ('class wrapper', String, {'Class': 2, 'Object': 1}),
        ('Java object', ArrayList(), {'ArrayList': 3, 'List': 2, 'Collection': 2, 'Object': 1}),
        ('Java array', String('x,y').split(','), {'String[]': 3, 'Object': 1}),
        ('list', [1], {'ArrayList': 4, 'List': 3, 'Collection': 3, 'int[]': 3, 'String[]': 3,
                       'Object': 2, 'boolean': 1}),
        ('tuple', (1,), {'List': 3, 'Collection': 3, 'int[]': 3, 'String[]': 3, 'Object': 2, 'boolean': 1}),
        ('dict', {'k': 1}, {'Map': 3, 'Object': 2, 'boolean': 1}),
        ('set', {1}, {}),
        ('function', len, {}),
        ('bytes', b'x', {}),
    ]


class ScoreTable(unittest.TestCase):

    def test_every_argument_kind_against_every_parameter_kind(self):
        for description, argument, scores in expected_rows():
            for parameter, method in PARAMETERS.items():
                with self.subTest(argument=description, parameter=parameter):
                    self.assertEqual(BASE + scores.get(parameter, 0), check_arguments(Fixture, method, [argument]))


class Layout(unittest.TestCase):
    """The base scores come from the argument layout; the count rule decides whether a
    method scores at all."""

    def test_plain_method(self):
        self.assertEqual(0, check_arguments(Fixture, 'pInt', []))
        self.assertEqual(0, check_arguments(Fixture, 'pInt', [1, 2]))
        self.assertEqual(-1, check_arguments(Fixture, 'pInt', [1], {'k': 1}))

    def test_variable_arguments(self):
        # join(String...): 2, then each argument against String[] or, failing that, String.
        self.assertEqual(2, check_arguments(MethodFixture, 'join', []))
        self.assertEqual(2 + 3, check_arguments(MethodFixture, 'join', ['a']))
        self.assertEqual(2 + 3 + 3, check_arguments(MethodFixture, 'join', ['a', 'b']))
        self.assertEqual(2 + 3, check_arguments(MethodFixture, 'join', [['a']]))
        self.assertEqual(2 + 0, check_arguments(MethodFixture, 'join', [1.5]))
        # tagged(int, String...): the int, then the strings.
        self.assertEqual(2 + 10 + 3, check_arguments(MethodFixture, 'tagged', [1, 'b']))

    def test_keyword_methods(self):
        # named(String, Map) takes keywords: 1, plus 1 when the positional count fits.
        self.assertEqual(1 + 1 + 3, check_arguments(MethodFixture, 'named', ['a']))
        self.assertEqual(1 + 1 + 3, check_arguments(MethodFixture, 'named', ['a'], {'x': 1}))
        self.assertEqual(0, check_arguments(MethodFixture, 'named', []))
        # both(Object[], Map) takes both: no count point, and the first argument against
        # the array parameter (a list fits it: 3).
        self.assertEqual(1 + 3, check_arguments(MethodFixture, 'both', [[1]]))
        self.assertEqual(1, check_arguments(MethodFixture, 'both', [], {'k': 'v'}))


if __name__ == '__main__':
    unittest.main()
