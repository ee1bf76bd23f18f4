// Objects/pyjnumber.cpp: java.lang.Number in Python arithmetic.  A Java number that
// stays wrapped (BigDecimal, the atomic counters, a number made with its constructor)
// takes part in arithmetic, comparison, hashing, truth and int()/float()/index by
// becoming a plain Python int (Byte, Short, Integer, Long) or float (any other Number)
// first; the Python operator then decides, so results are Python values with Python
// semantics, and a Java number hashes like the equal Python number.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::PyRef;

namespace {

constexpr const char* kNumber = "java.lang.Number";

// The Python value of a Java number: longValue() of a Byte, Short, Integer or Long,
// doubleValue() of any other.  New reference, or nullptr with an error set.
PyObject* number_value(JNIEnv* env, jobject n) {
  for (jclass integral : {JBYTE_OBJ_TYPE, JSHORT_OBJ_TYPE, JINT_OBJ_TYPE, JLONG_OBJ_TYPE}) {
    if (env->IsInstanceOf(n, integral)) {
      jlong v = java_lang_Number_longValue(env, n);
      return process_java_exception(env) ? nullptr : PyLong_FromLongLong(v);
    }
  }
  jdouble d = java_lang_Number_doubleValue(env, n);
  return process_java_exception(env) ? nullptr : PyFloat_FromDouble(d);
}

// An operand as the Python operator takes it: a Java number's value, any other Python
// number unchanged.  NotImplemented (a new reference) for anything else, including Java
// objects that are not numbers: handing those on would call this type's slots again.
PyObject* operand(JNIEnv* env, PyObject* o) {
  if (PyJObject_Check(o)) {
    jobject obj = reinterpret_cast<PyJObject*>(o)->object;
    if (!obj || !env->IsInstanceOf(obj, JNUMBER_TYPE)) Py_RETURN_NOTIMPLEMENTED;
    return number_value(env, obj);
  }
  if (!PyNumber_Check(o)) Py_RETURN_NOTIMPLEMENTED;
  return Py_NewRef(o);
}

// Both operands prepared into x and y: true, or false with *early what the slot
// returns instead (NotImplemented, or nullptr with an error set).
bool prepare_both(PyObject* a, PyObject* b, PyRef* x, PyRef* y, PyObject** early) {
  *early = nullptr;
  JNIEnv* env = kiv::env_or_error();
  if (!env) return false;
  *x = PyRef::steal(operand(env, a));
  if (!*x || x->get() == Py_NotImplemented) return *early = x->release(), false;
  *y = PyRef::steal(operand(env, b));
  if (!*y || y->get() == Py_NotImplemented) return *early = y->release(), false;
  return true;
}

template <PyObject* (*Op)(PyObject*, PyObject*)>
PyObject* binary(PyObject* a, PyObject* b) {
  PyRef x, y;
  PyObject* early;
  return prepare_both(a, b, &x, &y, &early) ? Op(x.get(), y.get()) : early;
}

PyObject* number_power(PyObject* a, PyObject* b, PyObject* m) {
  PyRef x, y;
  PyObject* early;
  if (!prepare_both(a, b, &x, &y, &early)) return early;
  PyRef z = m == Py_None ? PyRef::borrow(m) : PyRef::steal(operand(kiv::attached_env(), m));
  if (!z || z.get() == Py_NotImplemented) return z.release();
  return PyNumber_Power(x.get(), y.get(), z.get());
}

// Unary operators have no reflected form: an operand that is not a number raises
// Python's own TypeError rather than returning NotImplemented as a value.
template <PyObject* (*Op)(PyObject*)>
PyObject* unary(PyObject* a, const char* what) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  PyRef x = PyRef::steal(operand(env, a));
  if (!x) return nullptr;
  if (x.get() == Py_NotImplemented) {
    PyErr_Format(PyExc_TypeError, "bad operand type for %s: '%s'", what, Py_TYPE(a)->tp_name);
    return nullptr;
  }
  return Op(x.get());
}

PyObject* number_negative(PyObject* a) { return unary<PyNumber_Negative>(a, "unary -"); }
PyObject* number_positive(PyObject* a) { return unary<PyNumber_Positive>(a, "unary +"); }
PyObject* number_absolute(PyObject* a) { return unary<PyNumber_Absolute>(a, "abs()"); }

// self's value, for the slots that only ever see self.
PyObject* self_value(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JNUMBER_TYPE, kNumber) : nullptr;
  return obj ? number_value(env, obj) : nullptr;
}

int number_bool(PyObject* self) {
  PyRef v = PyRef::steal(self_value(self));
  return v ? PyObject_IsTrue(v.get()) : -1;
}

Py_hash_t number_hash(PyObject* self) {
  PyRef v = PyRef::steal(self_value(self));
  return v ? PyObject_Hash(v.get()) : -1;
}

PyObject* number_richcompare(PyObject* a, PyObject* b, int op) {
  PyRef x, y;
  PyObject* early;
  return prepare_both(a, b, &x, &y, &early) ? PyObject_RichCompare(x.get(), y.get(), op) : early;
}

// int() and float(): longValue() (a fraction is cut off the Java way) or doubleValue(),
// whatever the class.
template <class T, T (*Value)(JNIEnv*, jobject) noexcept, PyObject* (*Make)(T)>
PyObject* convert_self(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JNUMBER_TYPE, kNumber) : nullptr;
  if (!obj) return nullptr;
  T v = Value(env, obj);
  return process_java_exception(env) ? nullptr : Make(v);
}

PyObject* long_of(jlong v) { return PyLong_FromLongLong(v); }

PyObject* number_int(PyObject* self) { return convert_self<jlong, java_lang_Number_longValue, long_of>(self); }
PyObject* number_float(PyObject* self) {
  return convert_self<jdouble, java_lang_Number_doubleValue, PyFloat_FromDouble>(self);
}

// As an index only the integral classes serve: a BigDecimal or a Double is a float.
PyObject* number_index(PyObject* self) {
  PyRef v = PyRef::steal(self_value(self));
  if (!v) return nullptr;
  if (!PyLong_Check(v.get())) {
    PyErr_Format(PyExc_TypeError, "list indices must be integers, not %s", Py_TYPE(v.get())->tp_name);
    return nullptr;
  }
  return PyNumber_Index(v.get());
}

PyType_Slot number_slots[] = {
    {Py_tp_hash, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_hash))},
    {Py_tp_richcompare, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_richcompare))},
    {Py_nb_add, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_Add>))},
    {Py_nb_subtract, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_Subtract>))},
    {Py_nb_multiply, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_Multiply>))},
    {Py_nb_remainder, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_Remainder>))},
    {Py_nb_divmod, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_Divmod>))},
    {Py_nb_power, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_power))},
    {Py_nb_negative, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_negative))},
    {Py_nb_positive, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_positive))},
    {Py_nb_absolute, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_absolute))},
    {Py_nb_bool, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_bool))},
    {Py_nb_int, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_int))},
    {Py_nb_float, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_float))},
    {Py_nb_floor_divide, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_FloorDivide>))},
    {Py_nb_true_divide, reinterpret_cast<void*>(KIV_PY_BOUNDARY(binary<PyNumber_TrueDivide>))},
    {Py_nb_index, reinterpret_cast<void*>(KIV_PY_BOUNDARY(number_index))},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Number")},
    {0, nullptr}};

}  // namespace

// A class type: it keeps the record of java.lang.Object, its base.
KIV_EXPORT PyType_Spec PyJNumber_Spec = {"java.lang.Number", static_cast<int>(sizeof(PyJObject)), 0,
                                         kiv::kProtocolFlags, number_slots};
