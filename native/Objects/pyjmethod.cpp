// Objects/pyjmethod.cpp: Java methods and constructors called from Python.
//
// A method reads what it needs from Java reflection once, on first use, and keeps it:
// the method identifier and, per parameter, a global reference to its class and its
// type code.  A call then converts the arguments, releases the interpreter lock for the
// Java call only, and converts the result by the return type code.  Calls arrive through
// vectorcall with the receiver as the first argument, so `obj.m(x)` makes no bound
// method and no argument tuple.
#include <Python.h>
#include <jni.h>

#include <cstddef>
#include <utility>

#include "Objects/callable.h"
#include "Objects/objects.h"
#include "access/access.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/jtype.h"
#include "common/checks.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::GlobalRef;
using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr int kStackArgs = 8;

// Modifier bits of java.lang.reflect.Modifier.
constexpr jint kStatic = 0x0008;

// Deletes the n global references of a parameter-class block and frees it.
void free_param_classes(jclass* classes, int n) noexcept {
  if (classes) {
    for (int i = 0; i < n; ++i) kiv::delete_global_ref(classes[i]);
  }
  PyMem_Free(classes);
}

// What initialisation reads, held locally until it is complete; whatever is not handed
// to the method record is released on every path.
struct MethodInfo {
  jmethodID id = nullptr;
  int returnType = -1;
  int len = 0;
  int isStatic = 0;
  int varArgs = 0;
  int kwArgs = 0;
  GlobalRef<jobjectArray> parameters;
  GlobalRef<jclass> declaring;
  GlobalRef<jclass> component;
  jclass* classes = nullptr;  // PyMem, len entries, each a global reference or null
  int* types = nullptr;       // PyMem
  int componentType = -1;

  MethodInfo() = default;
  MethodInfo(const MethodInfo&) = delete;
  MethodInfo& operator=(const MethodInfo&) = delete;
  ~MethodInfo() {
    free_param_classes(classes, len);
    PyMem_Free(types);
  }
};

// After a failed JNI step: translates the pending Java exception, or sets RuntimeError
// "Unknown" when there is none.  Returns -1.
int step_failed(JNIEnv* env) {
  process_java_exception(env);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Unknown");
  return -1;
}

// A new global reference to a class, or null with the Java exception pending.
GlobalRef<jclass> global_class(JNIEnv* env, jclass cls) noexcept { return GlobalRef<jclass>::make(env, cls); }

int read_method(JNIEnv* env, jobject rmethod, bool constructor, MethodInfo* info) {
  kiv::LocalFrame frame(env, 16);
  if (!frame.ok()) return step_failed(env);
  info->id = env->FromReflectedMethod(rmethod);
  if (!info->id) return step_failed(env);
  if (constructor) {
    info->returnType = JTYPE_OBJECT;
  } else {
    LocalRef<jclass> rt(env, java_lang_reflect_Method_getReturnType(env, rmethod));
    if (!rt || env->ExceptionCheck()) return step_failed(env);
    info->returnType = get_jtype(env, rt.get());
    if (info->returnType < 0) return step_failed(env);
  }
  LocalRef<jobjectArray> params(env, java_lang_reflect_Executable_getParameterTypes(env, rmethod));
  if (!params || env->ExceptionCheck()) return step_failed(env);
  int len = env->GetArrayLength(params.get());
  info->parameters = GlobalRef<jobjectArray>::make(env, params.get());
  info->classes = static_cast<jclass*>(PyMem_Calloc(len ? len : 1, sizeof(jclass)));
  info->types = static_cast<int*>(PyMem_Calloc(len ? len : 1, sizeof(int)));
  info->len = len;
  if (!info->parameters || !info->classes || !info->types) {
    env->ExceptionClear();
    PyErr_NoMemory();
    return -1;
  }
  for (int i = 0; i < info->len; ++i) {
    LocalRef<jclass> p(env, static_cast<jclass>(env->GetObjectArrayElement(params.get(), i)));
    if (!p) return step_failed(env);
    info->types[i] = get_jtype(env, p.get());
    if (info->types[i] < 0) return step_failed(env);
    info->classes[i] = global_class(env, p.get()).release();  // freed by ~MethodInfo until published
    if (!info->classes[i]) return step_failed(env);
  }
  jint modifiers = java_lang_reflect_Member_getModifiers(env, rmethod);
  if (env->ExceptionCheck()) return step_failed(env);
  info->isStatic = constructor ? 1 : (modifiers & kStatic) != 0;
  LocalRef<jclass> declaring(env, java_lang_reflect_Member_getDeclaringClass(env, rmethod));
  if (!declaring || env->ExceptionCheck()) return step_failed(env);
  info->declaring = global_class(env, declaring.get());
  if (!info->declaring) return step_failed(env);
  LocalRef<jobject> annotation(env, java_lang_reflect_AnnotatedElement_getAnnotation(env, rmethod, JPYMETHOD_TYPE));
  if (env->ExceptionCheck()) return step_failed(env);
  if (annotation) {
    info->varArgs = kiv_PyMethod_varargs(env, annotation.get());
    if (env->ExceptionCheck()) return step_failed(env);
    info->kwArgs = kiv_PyMethod_kwargs(env, annotation.get());
    if (env->ExceptionCheck()) return step_failed(env);
  } else {
    info->varArgs = java_lang_reflect_Executable_isVarArgs(env, rmethod);
    if (env->ExceptionCheck()) return step_failed(env);
  }
  int needed = info->varArgs + info->kwArgs;
  if (info->len < needed) {
    PyErr_Format(PyExc_TypeError,
                 "@PyMethod(varargs=%s, kwargs=%s) needs %d parameter(s) to fill, but the Java %s has %d",
                 info->varArgs ? "true" : "false", info->kwArgs ? "true" : "false", needed,
                 constructor ? "constructor" : "method", info->len);
    return -1;
  }
  if (info->varArgs) {
    int at = info->len - 1 - info->kwArgs;
    if (info->types[at] != JTYPE_ARRAY) {
      PyErr_SetString(PyExc_TypeError, "@PyMethod(varargs=true) needs an array parameter to collect the arguments");
      return -1;
    }
    LocalRef<jclass> c(env, java_lang_Class_getComponentType(env, info->classes[at]));
    if (!c || env->ExceptionCheck()) return step_failed(env);
    info->componentType = get_jtype(env, c.get());
    if (info->componentType < 0) return step_failed(env);
    info->component = global_class(env, c.get());
    if (!info->component) return step_failed(env);
  }
  return 0;
}

}  // namespace

namespace kiv {

int method_init(PyJMethod* m, JNIEnv* env) noexcept {
  if (m->parameters) return 0;
  MethodInfo info;
  bool constructor = Py_IS_TYPE(m, m->state->PyJConstructor_Type);
  if (read_method(env, m->rmethod, constructor, &info) < 0) return -1;
  // Reading released the interpreter lock (type codes ask Java): another thread may have
  // finished first.  Its data is as good as ours.
  if (m->parameters) return 0;
  m->methodId = info.id;
  m->returnTypeId = info.returnType;
  m->lenParameters = info.len;
  m->isStatic = info.isStatic;
  m->isVarArgs = info.varArgs;
  m->isKwArgs = info.kwArgs;
  m->declaringClass = info.declaring.release();
  m->paramClasses = std::exchange(info.classes, nullptr);
  m->paramTypes = std::exchange(info.types, nullptr);
  m->varargComponent = info.component.release();
  m->varargComponentType = info.componentType;
  // A frame only for references the arguments make: the one result reference is deleted
  // by its owner (call_java, constructor_call), as is every reference its conversion makes.
  bool refs = info.varArgs || info.kwArgs;
  for (int i = 0; i < info.len && !refs; ++i) refs = is_reference_type(m->paramTypes[i]);
  m->needsFrame = refs;
  m->parameters = info.parameters.release();  // last: a set `parameters` means complete
  return 0;
}

bool arg_count_fits(const PyJMethod* m, Py_ssize_t n) noexcept {
  int f = m->lenParameters - m->isKwArgs;
  return n == f || (m->isVarArgs && n >= f - 1);
}

int method_score(PyJMethod* m, JNIEnv* env, PyObject* const* args, Py_ssize_t nargs, bool keywords) noexcept {
  if (!m->parameters && method_init(m, env) < 0) return -1;
  Py_ssize_t n = nargs - 1;
  // Scored by the layout a call uses: a keyword-taking method fills its last parameter
  // from the keywords whether or not any are given.
  int p = m->lenParameters - m->isKwArgs;
  int score;
  if (keywords) {
    if (!m->isKwArgs) return -1;
    score = 1;
  } else {
    score = m->isKwArgs ? 1 : 2;
  }
  if (!m->isVarArgs) {
    if (!arg_count_fits(m, n)) return 0;
    score += 1;
  }
  int last = p - 1;  // the variable-argument array, for such methods
  for (Py_ssize_t i = 0; i < n; ++i) {
    int idx = m->isVarArgs && i > last ? last : static_cast<int>(i);
    int t = m->paramTypes[idx];
    int s = pyarg_matches_jtype(env, args[i + 1], m->paramClasses[idx], t);
    if (s == 0 && m->isVarArgs && t == JTYPE_ARRAY && i >= last) {
      s = pyarg_matches_jtype(env, args[i + 1], m->varargComponent, m->varargComponentType);
    }
    if (PyErr_Occurred()) return -1;
    score += s;
  }
  return score;
}

}  // namespace kiv

namespace {

// The arguments of one call, as JNI values.  Freed on every path.
struct JArgs {
  jvalue stack[kStackArgs];
  jvalue* values;
  explicit JArgs(int n) : values(n <= kStackArgs ? stack : static_cast<jvalue*>(PyMem_Malloc(sizeof(jvalue) * n))) {}
  ~JArgs() {
    if (values != stack) PyMem_Free(values);
  }
  JArgs(const JArgs&) = delete;
  JArgs& operator=(const JArgs&) = delete;
};

KIV_NOINLINE PyObject* arg_count_error(Py_ssize_t given, int expected) {
  PyErr_Format(PyExc_RuntimeError, "Invalid number of arguments: %i, expected %i.", static_cast<int>(given), expected);
  return nullptr;
}

// Sets TypeError for a receiver of another class than the declaring one; nullptr.
KIV_NOINLINE std::nullptr_t wrong_receiver(JNIEnv* env, PyObject* receiver, jclass declaring, const char* what) {
  kiv::PyRef want = kiv::PyRef::steal(jobject_As_PyString(env, declaring));
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "This %s belongs to %S and cannot be used with a %s", what,
               want ? want.get() : Py_None, Py_TYPE(receiver)->tp_name);
  return nullptr;
}

// Fills the JNI arguments of a call from args[1..nargs) and the keywords, after
// check_layout.  The layout (how many fill parameters one by one, whether the rest is
// packed into the last array) follows the method's flags.  0, or -1 with a Python error
// set.
int marshal(JNIEnv* env, PyJMethod* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, jvalue* out) {
  // check_layout accepted the count: either every positional parameter is filled one by
  // one, or (variable arguments) all but the array, which takes the rest.
  int p = m->lenParameters;
  Py_ssize_t n = nargs - 1;
  int f = p - m->isKwArgs;
  bool pack = n != f;
  int single = pack ? f - 1 : f;
  for (int i = 0; i < single; ++i) {
    out[i] = kiv::convert_arg(env, args[i + 1], m->paramClasses[i], m->paramTypes[i], i);
    if (KIV_UNLIKELY(PyErr_Occurred())) {
      // The last argument did not fit the array parameter itself: it becomes the one
      // element of the array instead.
      if (i == p - 1 && !m->isKwArgs && m->isVarArgs && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        single = p - 1;
        pack = true;
        break;
      }
      return -1;
    }
  }
  if (pack) {
    PyRef rest = PyRef::steal(PyTuple_New(n - single));
    if (!rest) return -1;
    for (Py_ssize_t j = single; j < n; ++j) PyTuple_SET_ITEM(rest.get(), j - single, Py_NewRef(args[j + 1]));
    out[single] = convert_pyarg_jvalue(env, rest.get(), m->paramClasses[single], JTYPE_ARRAY, single);
    if (PyErr_Occurred()) return -1;
  }
  if (m->isKwArgs) {
    if (!kwnames) {
      out[p - 1].l = nullptr;
    } else {
      PyRef kw = PyRef::steal(PyDict_New());
      if (!kw) return -1;
      for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return -1;
      }
      out[p - 1] = convert_pyarg_jvalue(env, kw.get(), m->paramClasses[p - 1], JTYPE_OBJECT, p - 1);
      if (PyErr_Occurred()) return -1;
    }
  }
  return 0;
}

// Checks the arguments common to methods and constructors before any conversion: the
// count, keywords the method does not take.  0, or -1 with the error set.
int check_layout(PyJMethod* m, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kiv::arg_count_fits(m, nargs - 1)) {
    // A method counts its receiver and every parameter; a constructor that takes
    // keywords leaves out the parameter they fill.
    bool keywordConstructor = m->isKwArgs && Py_IS_TYPE(m, m->state->PyJConstructor_Type);
    arg_count_error(nargs, m->lenParameters + (keywordConstructor ? 0 : 1));
    return -1;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0 && !m->isKwArgs) {
    PyErr_SetString(PyExc_RuntimeError, "Keywords are not supported.");
    return -1;
  }
  return 0;
}

// One JNI call through the call functions of P (a JPrimitive or JReference), instance
// or static, with the interpreter lock released around it.
template <class P>
typename P::type invoke(JNIEnv* env, jobject target, bool isStatic, jmethodID id, const jvalue* a) {
  kiv::AllowThreads nogil;
  return isStatic ? P::call_static(env, static_cast<jclass>(target), id, a) : P::call(env, target, id, a);
}

// A reference result (not null) as Python, by the return type code.
PyObject* reference_result(JNIEnv* env, PyJMethod* m, jobject r) {
  switch (m->returnTypeId) {
    case JTYPE_STRING: return jstring_As_PyString(env, static_cast<jstring>(r));
    case JTYPE_ARRAY: return pyjarray_new(env, static_cast<jarray>(r));
    case JTYPE_CLASS: return PyJClass_Wrap(env, static_cast<jclass>(r));
    default: return kiv::object_to_python(env, r, &m->lastResultClass, &m->lastResultType, m->state);
  }
}

// A method that returns its own receiver (a builder's append) gives back the receiver's
// wrapper instead of a new one.  Only where a new one would be the same: the method's
// last result was of the receiver's class and was wrapped (not converted to a str, an
// int...), and the type has no conversion hook.  nullptr otherwise, with no error set.
PyObject* receiver_itself(JNIEnv* env, PyJMethod* m, PyObject* receiver, jobject result) {
  PyTypeObject* type = Py_TYPE(receiver);
  if (reinterpret_cast<PyObject*>(type) != m->lastResultType) return nullptr;
  if (!kiv::of_own_class(receiver) || !env->IsSameObject(result, reinterpret_cast<PyJObject*>(receiver)->object)) {
    return nullptr;
  }
  ModuleCaches* caches = kiv::caches_of(m->state);
  if (!caches || _PyType_Lookup(type, caches->toPythonName)) return nullptr;
  return Py_NewRef(receiver);
}

PyObject* call_java(JNIEnv* env, PyJMethod* m, PyObject* receiver, jobject target, bool isStatic,
                    const jvalue* a) {
  jmethodID id = m->methodId;
  return kiv::with_primitive(
      m->returnTypeId,
      [&](auto p) -> PyObject* {
        using P = decltype(p);
        typename P::type r = invoke<P>(env, target, isStatic, id, a);
        if (process_java_exception(env)) return nullptr;
        return P::to_python(r);
      },
      [&]() -> PyObject* {
        if (kiv::is_reference_type(m->returnTypeId)) {
          LocalRef<jobject> r(env, invoke<kiv::JReference>(env, target, isStatic, id, a));
          if (process_java_exception(env)) return nullptr;
          if (!r) Py_RETURN_NONE;
          if (!isStatic && m->returnTypeId == JTYPE_OBJECT) {
            if (PyObject* same = receiver_itself(env, m, receiver, r.get())) return same;
          }
          return reference_result(env, m, r.get());
        }
        // void, and any other code
        invoke<kiv::JPrimitive<JTYPE_VOID>>(env, target, isStatic, id, a);
        if (process_java_exception(env)) return nullptr;
        Py_RETURN_NONE;
      });
}

// What JNI calls an instance method on (the receiver's object) or a static one on (its
// class), after checking that the receiver belongs to the declaring class: JNI would
// otherwise run the method on an object it does not belong to.  nullptr with an error
// set when the receiver cannot be used.
jobject method_target(JNIEnv* env, PyJMethod* m, PyObject* receiver) {
  if (!PyObject_TypeCheck(receiver, m->state->PyJObject_Type)) {
    PyErr_SetString(PyExc_RuntimeError, "First argument to a java method must be a java object.");
    return nullptr;
  }
  auto* r = reinterpret_cast<PyJObject*>(receiver);
  if (m->isStatic == 1) {
    if (!r->clazz || !kiv::assignable(env, r->clazz, m->declaringClass)) {
      return wrong_receiver(env, receiver, m->declaringClass, "static method");
    }
    return r->clazz;
  }
  if (!r->object) {
    PyErr_SetString(PyExc_RuntimeError, "Instantiate this class before calling an object method.");
    return nullptr;
  }
  // Once one wrapper of its type's own class passed, all of that type pass.
  PyTypeObject* type = Py_TYPE(receiver);
  bool vouched = kiv::of_own_class(receiver);
  if (vouched && reinterpret_cast<PyObject*>(type) == m->checkedReceiverType) return r->object;
  if (!env->IsInstanceOf(r->object, m->declaringClass)) {
    return wrong_receiver(env, receiver, m->declaringClass, "method");
  }
  if (vouched) Py_XSETREF(m->checkedReceiverType, Py_NewRef(reinterpret_cast<PyObject*>(type)));
  return r->object;
}

PyObject* method_call(JNIEnv* env, PyJMethod* m, PyObject* receiver, jobject target, const jvalue* a) {
  return call_java(env, m, receiver, target, m->isStatic == 1, a);
}

// The class a constructor makes an instance of: the receiver's, which must be a class
// wrapper of the declaring class.
jobject constructor_target(JNIEnv* env, PyJMethod* m, PyObject* receiver) {
  if (!PyObject_TypeCheck(receiver, m->state->PyJClass_Type)) {
    PyErr_SetString(PyExc_RuntimeError, "First argument to a java constructor must be a java class.");
    return nullptr;
  }
  jclass cls = reinterpret_cast<PyJClass*>(receiver)->base.clazz;
  if (!cls || !kiv::same(env, cls, m->declaringClass)) {
    return wrong_receiver(env, receiver, m->declaringClass, "constructor");
  }
  return cls;
}

PyObject* constructor_call(JNIEnv* env, PyJMethod* m, PyObject* receiver, jobject target, const jvalue* a) {
  auto cls = static_cast<jclass>(target);
  jobject obj;
  {
    kiv::AllowThreads nogil;
    obj = env->NewObjectA(cls, m->methodId, a);
  }
  if (process_java_exception(env)) return nullptr;
  if (!obj) {
    PyErr_SetString(PyExc_RuntimeError, "The Java constructor returned no object");
    return nullptr;
  }
  LocalRef<jobject> made(env, obj);
  PyObject* pytype = reinterpret_cast<PyJClass*>(receiver)->pytype;
  if (pytype) return PyJObject_New(env, reinterpret_cast<PyTypeObject*>(pytype), obj, cls);
  return jobject_As_PyJObject(env, obj, cls);
}

bool has_array_parameter(const PyJMethod* m) noexcept {
  for (int i = 0; i < m->lenParameters; ++i) {
    if (m->paramTypes[i] == JTYPE_ARRAY) return true;
  }
  return false;
}

// The steps every call of a method or constructor shares: the environment, the
// reflection data, the argument layout, the receiver (Target: what JNI calls on, or
// nullptr with an error set), a local frame when the call makes references, the
// arguments as JNI values, and then Call.
template <jobject (*Target)(JNIEnv*, PyJMethod*, PyObject*),
          PyObject* (*Call)(JNIEnv*, PyJMethod*, PyObject*, jobject, const jvalue*)>
PyObject* call_with(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* m = reinterpret_cast<PyJMethod*>(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  if (KIV_UNLIKELY(!m->parameters) && kiv::method_init(m, env) < 0) return nullptr;
  if (check_layout(m, nargs, kwnames) < 0) return nullptr;
  jobject target = Target(env, m, args[0]);
  if (!target) return nullptr;
  int p = m->lenParameters;
  kiv::LocalFrame frame(env, p + 16, m->needsFrame);
  if (!frame.ok()) {
    step_failed(env);
    return nullptr;
  }
  JArgs jargs(p);
  if (!jargs.values) return PyErr_NoMemory();
  if (p > 0 && marshal(env, m, args, nargs, kwnames, jargs.values) < 0) return nullptr;
  PyObject* result = Call(env, m, args[0], target, jargs.values);
  // Array arguments were committed when they were converted; pinned again now, they
  // show what Java wrote to them (also when the call then threw).
  if (has_array_parameter(m)) kiv::repin_array_arguments(m->state, args, 1, nargs);
  return result;
}

}  // namespace

namespace kiv {

PyObject* pyjmethod_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return call_with<method_target, method_call>(self, args, nargsf, kwnames);
}

PyObject* pyjconstructor_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return call_with<constructor_target, constructor_call>(self, args, nargsf, kwnames);
}

}  // namespace kiv

namespace {

void pyjmethod_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* m = reinterpret_cast<PyJMethod*>(self);
  free_param_classes(m->paramClasses, m->lenParameters);
  PyMem_Free(m->paramTypes);
  kiv::delete_global_ref(m->parameters);
  kiv::delete_global_ref(m->rmethod);
  kiv::delete_global_ref(m->declaringClass);
  kiv::delete_global_ref(m->varargComponent);
  kiv::delete_global_ref(m->lastResultClass);
  Py_CLEAR(m->lastResultType);
  Py_CLEAR(m->checkedReceiverType);
  Py_CLEAR(m->pyMethodName);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjmethod_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* m = reinterpret_cast<PyJMethod*>(self);
  Py_VISIT(m->pyMethodName);
  Py_VISIT(m->lastResultType);
  Py_VISIT(m->checkedReceiverType);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* pyjmethod_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyMemberDef pyjmethod_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(PyJMethod, pyMethodName), Py_READONLY, "method name"},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyJMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot pyjmethod_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmethod_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmethod_traverse)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, pyjmethod_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmethod_descr_get))},
    {Py_tp_doc, const_cast<char*>("jmethod")},
    {0, nullptr}};

PyMemberDef pyjconstructor_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyJMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot pyjconstructor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, pyjconstructor_members},
    {Py_tp_doc, const_cast<char*>("jconstructor")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJMethod_Spec = {
    "kiv.PyJMethod",
    sizeof(PyJMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    pyjmethod_slots,
};

KIV_EXPORT PyType_Spec PyJConstructor_Spec = {
    "kiv.PyJConstructor",
    sizeof(PyJMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
    pyjconstructor_slots,
};

namespace {

// A new, uninitialised method record of `type` for the reflected method or constructor:
// takes the name and a global reference to `reflected`.  New reference, or nullptr with
// a Python error set.
PyJMethod* new_method_record(JNIEnv* env, ModuleState* state, PyTypeObject* type, vectorcallfunc call, PyRef name,
                             jobject reflected) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* m = reinterpret_cast<PyJMethod*>(self.get());
  m->vectorcall = call;
  m->state = state;
  m->returnTypeId = -1;
  m->lenParameters = -1;
  m->isStatic = -1;
  m->varargComponentType = -1;
  m->pyMethodName = name.release();
  m->rmethod = GlobalRef<jobject>::make(env, reflected).release();  // the record owns it: see pyjmethod_dealloc
  if (!m->rmethod) {
    env->ExceptionClear();
    PyErr_NoMemory();
    return nullptr;
  }
  return reinterpret_cast<PyJMethod*>(self.release());
}

}  // namespace

KIV_API PyObject* PyJMethod_New(JNIEnv* env, ModuleState* state, jobject rmethod) {
  LocalRef<jstring> jname(env, static_cast<jstring>(java_lang_reflect_Member_getName(env, rmethod)));
  if (process_java_exception(env)) return nullptr;
  if (!jname) {
    PyErr_SetString(PyExc_RuntimeError, "A Java method without a name");
    return nullptr;
  }
  PyRef name = PyRef::steal(jstring_As_PyString(env, jname.get()));
  if (!name) return nullptr;
  return reinterpret_cast<PyObject*>(
      new_method_record(env, state, state->PyJMethod_Type, KIV_PY_BOUNDARY(kiv::pyjmethod_vectorcall),
                        std::move(name), rmethod));
}

KIV_API int PyJMethod_Check(ModuleState* state, PyObject* obj) {
  return state && state->PyJMethod_Type && PyObject_TypeCheck(obj, state->PyJMethod_Type);
}

KIV_API int PyJMethod_GetParameterCount(PyJMethod* self, JNIEnv* env) {
  if (!self->parameters && kiv::method_init(self, env) < 0) return -1;
  return self->lenParameters;
}

KIV_API int PyJMethod_CheckArguments(PyJMethod* self, JNIEnv* env, PyObject* args, PyObject* kw) {
  bool keywords = kw && PyDict_Check(kw) && PyDict_GET_SIZE(kw) > 0;
  return kiv::method_score(self, env, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords);
}

KIV_API PyObject* PyJConstructor_New(JNIEnv* env, ModuleState* state, jobject rconstructor) {
  PyRef name = PyRef::borrow(kiv::caches_of(state)->initName);
  PyRef self = PyRef::steal(reinterpret_cast<PyObject*>(new_method_record(
      env, state, state->PyJConstructor_Type, KIV_PY_BOUNDARY(kiv::pyjconstructor_vectorcall), std::move(name), rconstructor)));
  if (!self) return nullptr;
  auto* m = reinterpret_cast<PyJMethod*>(self.get());
  m->returnTypeId = JTYPE_OBJECT;
  m->isStatic = 1;
  m->lenParameters = 0;
  if (kiv::method_init(m, env) < 0) return nullptr;
  return self.release();
}
