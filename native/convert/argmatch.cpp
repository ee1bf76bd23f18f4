// convert/argmatch.cpp: classifying Java classes by type code, scoring how well a
// Python argument fits a Java parameter, and converting one argument.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/jtype.h"
#include "exceptions/exceptions.h"

using kiv::assignable;
using kiv::same;

KIV_API int get_jtype(JNIEnv* env, jclass cls) {
  if (assignable(env, cls, JOBJECT_TYPE)) {
    if (same(env, cls, JSTRING_TYPE)) return JTYPE_STRING;
    if (env->ExceptionCheck()) return -1;
    jboolean isArray = java_lang_Class_isArray(env, cls);
    if (env->ExceptionCheck()) return -1;
    if (isArray) return JTYPE_ARRAY;
    return assignable(env, cls, JCLASS_TYPE) ? JTYPE_CLASS : JTYPE_OBJECT;
  }
  static const struct {
    jclass* cls;
    int code;
  } kPrimitives[] = {{&JINT_TYPE, JTYPE_INT},         {&JDOUBLE_TYPE, JTYPE_DOUBLE}, {&JFLOAT_TYPE, JTYPE_FLOAT},
                     {&JLONG_TYPE, JTYPE_LONG},       {&JBOOLEAN_TYPE, JTYPE_BOOLEAN}, {&JVOID_TYPE, JTYPE_VOID},
                     {&JCHAR_TYPE, JTYPE_CHAR},       {&JBYTE_TYPE, JTYPE_BYTE},     {&JSHORT_TYPE, JTYPE_SHORT}};
  for (const auto& p : kPrimitives) {
    bool match = same(env, cls, *p.cls);
    if (env->ExceptionCheck()) return -1;
    if (match) return p.code;
  }
  return -1;
}

namespace {

// ---- the score table -------------------------------------------------------------------
//
// pyarg_matches_jtype classifies the argument into a row and reads the entry in the
// column of the parameter's type code.  An entry is a fixed score, or a list of tests
// tried in order, the first that holds giving its score (0 when none holds).

// The argument kinds, in the order in which an argument is classified.
enum Row : unsigned char { kBool, kInt, kStr, kFloat, kNone, kJClass, kJObject, kList, kTuple, kDict, kOther, kRows };

enum class Test : unsigned char {
  End,         // no test left: the score is 0
  Is,          // the parameter class is K
  Assignable,  // a K may be passed where the parameter class is expected
  OneChar,     // the argument is a str of one character
};

// One test.  K is a class global, or (nullptr) the class of the argument, a Java object.
struct Step {
  Test test;
  jclass* k;
  int score;
};

// A fixed score, or tests (implicit conversions, so that the table reads as numbers).
struct Entry {
  int score;
  const Step* steps;  // null for a fixed score
  constexpr Entry(int s) : score(s), steps(nullptr) {}
  constexpr Entry(const Step* t) : score(0), steps(t) {}
};

constexpr Step kEnd = {Test::End, nullptr, 0};
constexpr Step kBoolObject[] = {
    {Test::Is, &JBOOL_OBJ_TYPE, 3}, {Test::Is, &JOBJECT_TYPE, 1}, {Test::Assignable, &JBOOL_OBJ_TYPE, 2}, kEnd};
constexpr Step kIntObject[] = {{Test::Is, &JLONG_OBJ_TYPE, 4},
                               {Test::Is, &JINT_OBJ_TYPE, 3},
                               {Test::Is, &JOBJECT_TYPE, 1},
                               {Test::Assignable, &JLONG_OBJ_TYPE, 2},
                               kEnd};
constexpr Step kStrObject[] = {{Test::Assignable, &JSTRING_TYPE, 1}, kEnd};
constexpr Step kStrChar[] = {{Test::OneChar, nullptr, 2}, kEnd};
constexpr Step kFloatObject[] = {{Test::Is, &JDOUBLE_OBJ_TYPE, 4},
                                 {Test::Is, &JFLOAT_OBJ_TYPE, 3},
                                 {Test::Is, &JOBJECT_TYPE, 1},
                                 {Test::Assignable, &JDOUBLE_OBJ_TYPE, 2},
                                 kEnd};
constexpr Step kClassObject[] = {{Test::Assignable, &JCLASS_TYPE, 1}, kEnd};
constexpr Step kJavaObject[] = {{Test::Is, nullptr, 3}, {Test::Is, &JOBJECT_TYPE, 1}, {Test::Assignable, nullptr, 2}, kEnd};
constexpr Step kListObject[] = {
    {Test::Is, &JOBJECT_TYPE, 2}, {Test::Is, &JARRAYLIST_TYPE, 4}, {Test::Assignable, &JLIST_TYPE, 3}, kEnd};
constexpr Step kTupleObject[] = {{Test::Is, &JOBJECT_TYPE, 2}, {Test::Assignable, &JLIST_TYPE, 3}, kEnd};
constexpr Step kDictObject[] = {{Test::Is, &JOBJECT_TYPE, 2}, {Test::Assignable, &JMAP_TYPE, 3}, kEnd};

// The columns are the type codes 0..12 without VOID (5), which scores 0 for every
// argument.
constexpr int kColumns = 12;

constexpr Entry kScores[kRows][kColumns] = {
  // BOOLEAN INT LONG OBJECT         STRING DOUBLE SHORT FLOAT ARRAY         CHAR      BYTE CLASS
    {8,      5,  4,   kBoolObject,   0,     0,     6,    0,    0,            0,        7,   0},  // bool
    {5,      10, 11,  kIntObject,    0,     9,     7,    8,    0,            0,        6,   0},  // int
    {0,      0,  0,   kStrObject,    3,     0,     0,    0,    0,            kStrChar, 0,   0},  // str
    {0,      0,  0,   kFloatObject,  0,     6,     0,    5,    0,            0,        0,   0},  // float
    {0,      0,  0,   4,             2,     0,     0,    0,    3,            0,        0,   1},  // None
    {0,      0,  0,   kClassObject,  0,     0,     0,    0,    0,            0,        0,   2},  // class wrapper
    {0,      0,  0,   kJavaObject,   0,     0,     0,    0,    kJavaObject,  0,        0,   0},  // other Java object
    {1,      0,  0,   kListObject,   0,     0,     0,    0,    3,            0,        0,   0},  // list
    {1,      0,  0,   kTupleObject,  0,     0,     0,    0,    3,            0,        0,   0},  // tuple
    {1,      0,  0,   kDictObject,   0,     0,     0,    0,    0,            0,        0,   0},  // dict
    {0,      0,  0,   0,             0,     0,     0,    0,    0,            0,        0,   0},  // anything else
};

// bool by exact type before int; int, str, float, list, tuple and dict with subclasses.
Row classify(PyObject* arg) noexcept {
  if (Py_IS_TYPE(arg, &PyBool_Type)) return kBool;
  if (PyLong_Check(arg)) return kInt;
  if (PyUnicode_Check(arg)) return kStr;
  if (PyFloat_Check(arg)) return kFloat;
  if (arg == Py_None) return kNone;
  if (PyJClass_Check(arg)) return kJClass;
  if (PyJObject_Check(arg)) return kJObject;
  if (PyList_Check(arg)) return kList;
  if (PyTuple_Check(arg)) return kTuple;
  if (PyDict_Check(arg)) return kDict;
  return kOther;
}

int run_steps(JNIEnv* env, const Step* step, PyObject* arg, jclass param) noexcept {
  // A Java object scores against its class; one without a class scores nothing.
  jclass own = nullptr;
  if (!step->k && step->test != Test::OneChar) {
    own = reinterpret_cast<PyJObject*>(arg)->clazz;
    if (!own) return 0;
  }
  for (; step->test != Test::End; ++step) {
    jclass k = step->k ? *step->k : own;
    bool holds;
    switch (step->test) {
      case Test::Is: holds = same(env, k, param); break;
      case Test::Assignable: holds = assignable(env, k, param); break;
      default: holds = PyUnicode_GET_LENGTH(arg) == 1; break;
    }
    if (holds) return step->score;
  }
  return 0;
}

}  // namespace

KIV_API int pyarg_matches_jtype(JNIEnv* env, PyObject* arg, jclass cls, int t) {
  if (t < 0 || t > JTYPE_CLASS || t == JTYPE_VOID) return 0;
  const Entry& e = kScores[classify(arg)][t < JTYPE_VOID ? t : t - 1];
  return e.steps ? run_steps(env, e.steps, arg, cls) : e.score;
}

namespace kiv {

// Replaces the pending error by TypeError "Error converting parameter <pos+1>: <text>".
KIV_NOINLINE void parameter_error(int pos) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyRef text = PyRef::steal(exc ? PyObject_Str(exc) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyObject_Str(exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None));
  }
  Py_XDECREF(exc);
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "Error converting parameter %d: %U", pos + 1, text ? text.get() : Py_None);
}

// The argument for a parameter whose class and type code are known: primitives go
// straight to their scalar conversion, references to PyObject_As_jobject.  Same results
// and messages as convert_pyarg_jvalue, without classifying the class again.
jvalue convert_arg(JNIEnv* env, PyObject* arg, jclass cls, int t, int pos) noexcept {
  return with_primitive(
      t,
      [&](auto p) {
        using P = decltype(p);
        jvalue v;
        v.j = 0;
        P::of(v) = P::from_python(arg);
        if (KIV_UNLIKELY(PyErr_Occurred())) parameter_error(pos);
        return v;
      },
      [&] { return convert_pyarg_jvalue(env, arg, cls, t, pos); });
}

}  // namespace kiv

KIV_API jvalue convert_pyarg_jvalue(JNIEnv* env, PyObject* arg, jclass cls, int, int pos) {
  jvalue v = PyObject_As_jvalue(env, arg, cls);
  if (KIV_UNLIKELY(PyErr_Occurred())) kiv::parameter_error(pos);
  return v;
}
