"""Java fields read and written from Python, on class wrappers and instances."""
import unittest

import _kiv

F = _kiv.findClass('kivtest.FieldFixture')


class StaticFieldTest(unittest.TestCase):

    def test_jdk_constant(self):
        Integer = _kiv.findClass('java.lang.Integer')
        self.assertEqual(2**31 - 1, Integer.MAX_VALUE)
        self.assertEqual(-2**31, Integer.MIN_VALUE)

    def test_values_of_each_kind(self):
        self.assertEqual(7, F.staticInt)
        self.assertEqual('k', F.staticChar)
        self.assertEqual('static', F.staticString)
        self.assertEqual(1 << 40, F.staticLong)
        self.assertEqual(2.5, F.staticDouble)
        self.assertIs(True, F.staticBoolean)
        self.assertEqual('an object', F.staticObject)

    def test_writes_round_trip(self):
        saved = (F.staticInt, F.staticChar, F.staticString, F.staticLong, F.staticDouble, F.staticBoolean)
        try:
            F.staticInt = -12
            F.staticChar = 'z'
            F.staticString = 'written \u00e9\U0001F600'
            F.staticLong = -(1 << 50)
            F.staticDouble = -0.125
            F.staticBoolean = False
            self.assertEqual((-12, 'z', 'written \u00e9\U0001F600', -(1 << 50), -0.125, False),
                             (F.staticInt, F.staticChar, F.staticString, F.staticLong, F.staticDouble,
                              F.staticBoolean))
            F.staticString = None
            self.assertIsNone(F.staticString)
            # Another wrapper of the class sees the same Java field.
            self.assertEqual(-12, _kiv.findClass('kivtest.FieldFixture').staticInt)
        finally:
            (F.staticInt, F.staticChar, F.staticString, F.staticLong, F.staticDouble,
             F.staticBoolean) = saved

    def test_object_field_takes_python_values_and_none(self):
        try:
            F.staticObject = 12
            self.assertEqual(12, F.staticObject)
            F.staticObject = None
            self.assertIsNone(F.staticObject)
        finally:
            F.staticObject = 'an object'

    def test_wrong_type_is_refused_and_value_kept(self):
        with self.assertRaises(TypeError):
            F.staticInt = 'seven'
        with self.assertRaises(OverflowError):
            F.staticInt = 2**40
        self.assertEqual(7, F.staticInt)

    def test_final_fields_are_read_only(self):
        with self.assertRaisesRegex(TypeError, 'final'):
            F.FINAL_INT = 1
        self.assertEqual(42, F.FINAL_INT)
        Integer = _kiv.findClass('java.lang.Integer')
        with self.assertRaisesRegex(TypeError, 'final'):
            Integer.MAX_VALUE = 0
        self.assertEqual(2**31 - 1, Integer.MAX_VALUE)
        with self.assertRaisesRegex(TypeError, 'final'):
            F.instance.fixed = 1
        self.assertEqual(9, F.instance.fixed)

    def test_instance_field_through_the_class_is_refused(self):
        with self.assertRaisesRegex(TypeError, '^Field is not static.$'):
            F.count
        with self.assertRaisesRegex(TypeError, '^Field is not static.$'):
            F.count = 1

    def test_delete_is_refused(self):
        with self.assertRaisesRegex(TypeError, 'Deleting attributes'):
            del F.staticInt
        with self.assertRaisesRegex(TypeError, 'Deleting Java fields is not allowed'):
            del F.instance.count
        self.assertEqual(7, F.staticInt)


class RepeatedReadTest(unittest.TestCase):
    """Reads repeated through one wrapper take shortcuts; each must still see Java's value."""

    def test_java_writes_to_static_fields_are_seen(self):
        saved = (F.staticInt, F.staticString)
        try:
            for i in range(3):
                F.setStatics(100 + i, 'written %d' % i)
                self.assertEqual(100 + i, F.staticInt)
                self.assertEqual('written %d' % i, F.staticString)
                self.assertEqual(100 + i, F.instance.staticInt)
                self.assertEqual(100 + i, _kiv.findClass('kivtest.FieldFixture').staticInt)
        finally:
            F.setStatics(*saved)
        self.assertEqual(saved, (F.staticInt, F.staticString))

    def test_static_final_fields_on_every_route(self):
        for _ in range(3):
            self.assertEqual(42, F.FINAL_INT)
            self.assertEqual('4242', F.FINAL_TEXT)
            self.assertEqual('4242', F.instance.FINAL_TEXT)
            with self.assertRaisesRegex(TypeError, 'final'):
                F.FINAL_TEXT = 'x'
        self.assertIs(F.FINAL_TEXT, F.FINAL_TEXT)

    def test_a_field_put_in_another_class_wrapper_is_refused(self):
        Integer = _kiv.findClass('java.lang.Integer')
        own = Integer.__dict__['MAX_VALUE']
        self.assertEqual(2**31 - 1, Integer.MAX_VALUE)
        self.assertEqual(2**31 - 1, Integer.MAX_VALUE)
        Integer.__dict__['MAX_VALUE'] = F.__dict__['staticInt']
        try:
            for _ in range(2):
                with self.assertRaisesRegex(TypeError, 'cannot be used with'):
                    Integer.MAX_VALUE
        finally:
            Integer.__dict__['MAX_VALUE'] = own
        self.assertEqual(2**31 - 1, Integer.MAX_VALUE)
        # A field of another class applied to an instance by hand.
        count = type(F.instance).__dict__['count']
        with self.assertRaisesRegex(TypeError, 'cannot be used with'):
            count.__get__(_kiv.findClass('java.util.ArrayList')())


class InstanceFieldTest(unittest.TestCase):

    def setUp(self):
        self.obj = F.instance

    def test_values_and_writes(self):
        obj = self.obj
        self.assertEqual((3, 'q', 'instance', -5, 0.25, False, None),
                         (obj.count, obj.letter, obj.text, obj.big, obj.ratio, obj.flag, obj.thing))
        try:
            obj.count = 30
            obj.text = 'changed'
            obj.flag = True
            obj.thing = 'x'
            again = F.instance  # a second wrapper of the same Java object
            self.assertEqual((30, 'changed', True, 'x'), (again.count, again.text, again.flag, again.thing))
        finally:
            obj.count, obj.text, obj.flag, obj.thing = 3, 'instance', False, None

    def test_static_field_through_an_instance(self):
        self.assertEqual(F.staticInt, self.obj.staticInt)

    def test_descriptor_through_the_type(self):
        descriptor = type(self.obj).__dict__['count']
        self.assertIs(descriptor, type(self.obj).count)
        self.assertEqual('PyJField', type(descriptor).__name__)
        self.assertEqual(3, descriptor.__get__(self.obj))

    def test_descriptor_refuses_objects_of_other_classes(self):
        instance_field = type(self.obj).__dict__['count']
        static_field = type(self.obj).__dict__['staticInt']
        other = F.list  # a java.util.ArrayList
        with self.assertRaisesRegex(TypeError, 'count'):
            instance_field.__get__(other)
        with self.assertRaisesRegex(TypeError, 'count'):
            instance_field.__set__(other, 1)
        with self.assertRaisesRegex(TypeError, 'staticInt'):
            static_field.__get__(other)
        with self.assertRaisesRegex(TypeError, 'staticInt'):
            static_field.__get__(_kiv.findClass('java.lang.String'))
        with self.assertRaisesRegex(RuntimeError, 'only access fields on Java objects'):
            instance_field.__get__(5)
        with self.assertRaisesRegex(RuntimeError, 'only access fields on Java objects'):
            instance_field.__set__(5, 1)
        self.assertEqual(7, F.staticInt)


if __name__ == '__main__':
    unittest.main()
