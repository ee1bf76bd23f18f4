// Objects/pyjmultimethod.cpp: overloaded Java methods (or constructors) as one Python
// callable that picks the overload that best fits the arguments.
#include <Python.h>
#include <jni.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "Objects/callable.h"
#include "Objects/objects.h"
#include "common/checks.h"
#include "common/pyref.h"
#include "embed/state.h"

namespace {

// Remembered overload choices.  The choice is a function of the per-argument scores,
// which depend only on each argument's type (and, for a str, whether it has one
// character) and on whether keywords are given; so a call whose arguments have the
// shape of an earlier one takes the same overload without scoring again.
constexpr int kShapeArgs = 6;
constexpr int kShapeEntries = 8;

struct Shape {
  int nargs = -1;  // positional arguments after the receiver; -1: empty entry
  bool keywords = false;
  unsigned charFlags = 0;  // bit i: argument i is a one-character str
  PyTypeObject* types[kShapeArgs] = {};  // strong references
};

struct DispatchCache {
  Shape shapes[kShapeEntries];
  int choice[kShapeEntries];
  int next = 0;
};

// The shape of a call, or false when it is not one to remember (too many arguments,
// or a Java array argument, whose score depends on its Java class).
bool shape_of(ModuleState* state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Shape* out) {
  Py_ssize_t n = nargs - 1;
  if (n < 0 || n > kShapeArgs) return false;
  out->nargs = static_cast<int>(n);
  out->keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
  out->charFlags = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* a = args[i + 1];
    PyTypeObject* t = Py_TYPE(a);
    if (state->PyJArray_Type && PyObject_TypeCheck(a, state->PyJArray_Type)) return false;
    if (PyUnicode_Check(a) && PyUnicode_GET_LENGTH(a) == 1) out->charFlags |= 1u << i;
    out->types[i] = t;
  }
  return true;
}

bool same_shape(const Shape& a, const Shape& b) {
  if (a.nargs != b.nargs || a.keywords != b.keywords || a.charFlags != b.charFlags) return false;
  for (int i = 0; i < a.nargs; ++i) {
    if (a.types[i] != b.types[i]) return false;
  }
  return true;
}

void shape_clear(Shape* s) {
  for (int i = 0; i < kShapeArgs; ++i) Py_CLEAR(s->types[i]);
  s->nargs = -1;
}

int cached_choice(PyJMultiMethod* mm, const Shape& shape) {
  auto* cache = static_cast<DispatchCache*>(mm->dispatchCache);
  if (!cache) return -1;
  for (int i = 0; i < kShapeEntries; ++i) {
    if (cache->shapes[i].nargs >= 0 && same_shape(cache->shapes[i], shape)) return cache->choice[i];
  }
  return -1;
}

void remember_choice(PyJMultiMethod* mm, const Shape& shape, int choice) {
  auto* cache = static_cast<DispatchCache*>(mm->dispatchCache);
  if (!cache) {
    void* mem = PyMem_Malloc(sizeof(DispatchCache));
    if (!mem) return;  // no memory to remember: the next call scores again
    cache = new (mem) DispatchCache();
    mm->dispatchCache = cache;
  }
  Shape& slot = cache->shapes[cache->next];
  shape_clear(&slot);
  slot = shape;
  for (int i = 0; i < slot.nargs; ++i) Py_INCREF(slot.types[i]);
  cache->choice[cache->next] = choice;
  cache->next = (cache->next + 1) % kShapeEntries;
}

// Picks the method to call, as the index in methodList, or -1 with an error set.
int select_method(PyJMultiMethod* mm, JNIEnv* env, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* list = mm->methodList;
  Py_ssize_t n = nargs - 1;
  bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
  int choice = -1;
  int choiceScore = -1;  // -1: not scored yet
  for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list); ++i) {
    auto* m = reinterpret_cast<PyJMethod*>(PyList_GET_ITEM(list, i));
    if (!m->parameters && kiv::method_init(m, env) < 0) return -1;
    if (keywords && !m->isKwArgs) continue;
    if (!kiv::arg_count_fits(m, n)) continue;
    if (choice < 0) {
      choice = static_cast<int>(i);
      continue;
    }
    if (choiceScore < 0) {
      auto* current = reinterpret_cast<PyJMethod*>(PyList_GET_ITEM(list, choice));
      choiceScore = kiv::method_score(current, env, args, nargs, keywords);
      if (PyErr_Occurred()) return -1;
      if (choiceScore <= 0) {
        choice = static_cast<int>(i);
        choiceScore = -1;
        continue;
      }
    }
    int s = kiv::method_score(m, env, args, nargs, keywords);
    if (PyErr_Occurred()) return -1;
    if (s > choiceScore) {
      choice = static_cast<int>(i);
      choiceScore = s;
    }
  }
  if (choice < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "No such Method.");
  return choice;
}

void pyjmultimethod_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* mm = reinterpret_cast<PyJMultiMethod*>(self);
  Py_CLEAR(mm->methodList);
  kiv::dispatch_cache_free(mm);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjmultimethod_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* mm = reinterpret_cast<PyJMultiMethod*>(self);
  Py_VISIT(mm->methodList);
  if (auto* cache = static_cast<DispatchCache*>(mm->dispatchCache)) {
    for (auto& shape : cache->shapes) {
      for (int i = 0; i < shape.nargs; ++i) Py_VISIT(shape.types[i]);
    }
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int pyjmultimethod_clear(PyObject* self) {
  auto* mm = reinterpret_cast<PyJMultiMethod*>(self);
  Py_CLEAR(mm->methodList);
  kiv::dispatch_cache_free(mm);
  return 0;
}

PyObject* pyjmultimethod_get_methods(PyObject* self, void*) {
  PyObject* list = reinterpret_cast<PyJMultiMethod*>(self)->methodList;
  return list ? PyList_AsTuple(list) : PyTuple_New(0);
}

PyObject* pyjmultimethod_get_name(PyObject* self, void*) { return PyJMultiMethod_GetName(self); }

PyObject* pyjmultimethod_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* pyjmultimethod_call(PyObject* self, PyObject* args, PyObject* kw) {
  return PyVectorcall_Call(self, args, kw);
}

PyGetSetDef pyjmultimethod_getset[] = {
    {"__name__", KIV_PY_BOUNDARY(pyjmultimethod_get_name), nullptr, nullptr, nullptr},
    {"__methods__", KIV_PY_BOUNDARY(pyjmultimethod_get_methods), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef pyjmultimethod_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyJMultiMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot pyjmultimethod_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmultimethod_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmultimethod_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pyjmultimethod_clear)},
    {Py_tp_call, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmultimethod_call))},
    {Py_tp_getset, pyjmultimethod_getset},
    {Py_tp_members, pyjmultimethod_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmultimethod_descr_get))},
    {Py_tp_doc, const_cast<char*>("PyJMultiMethod wraps multiple java methods from the same class with the same\n"
                                  "name as a single callable python object.")},
    {0, nullptr}};

}  // namespace

namespace kiv {

void dispatch_cache_free(PyJMultiMethod* mm) noexcept {
  auto* cache = static_cast<DispatchCache*>(mm->dispatchCache);
  if (!cache) return;
  mm->dispatchCache = nullptr;
  for (auto& shape : cache->shapes) shape_clear(&shape);
  cache->~DispatchCache();
  PyMem_Free(cache);
}

PyObject* pyjmultimethod_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* mm = reinterpret_cast<PyJMultiMethod*>(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  JNIEnv* env = env_or_error();
  if (!env) return nullptr;
  Shape shape;
  bool remember = shape_of(mm->state, args, nargs, kwnames, &shape);
  int choice = remember ? cached_choice(mm, shape) : -1;
  if (choice < 0) {
    choice = select_method(mm, env, args, nargs, kwnames);
    if (choice < 0) return nullptr;
    if (remember) remember_choice(mm, shape, choice);
  }
  // Holds the method while it runs: its list is never changed after it is built, but
  // the multimethod itself may lose its last reference during the call.
  PyRef method = PyRef::borrow(PyList_GET_ITEM(mm->methodList, choice));
  return PyObject_Vectorcall(method.get(), args, nargsf, kwnames);
}

}  // namespace kiv

KIV_EXPORT PyType_Spec PyJMultiMethod_Spec = {
    "kiv.PyJMultiMethod",
    sizeof(PyJMultiMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    pyjmultimethod_slots,
};

KIV_API PyObject* PyJMultiMethod_New(ModuleState* state, PyObject* method1, PyObject* method2) {
  if (!PyJMethod_Check(state, method1) || !PyJMethod_Check(state, method2)) {
    PyErr_SetString(PyExc_TypeError, "PyJMultiMethod can only hold PyJMethods");
    return nullptr;
  }
  PyTypeObject* type = state->PyJMultiMethod_Type;
  kiv::PyRef self = kiv::PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* mm = reinterpret_cast<PyJMultiMethod*>(self.get());
  mm->vectorcall = KIV_PY_BOUNDARY(kiv::pyjmultimethod_vectorcall);
  mm->state = state;
  mm->methodList = PyList_New(2);
  if (!mm->methodList) return nullptr;
  PyList_SET_ITEM(mm->methodList, 0, Py_NewRef(method1));
  PyList_SET_ITEM(mm->methodList, 1, Py_NewRef(method2));
  return self.release();
}

KIV_API int PyJMultiMethod_Check(ModuleState* state, PyObject* obj) {
  return state && state->PyJMultiMethod_Type && PyObject_TypeCheck(obj, state->PyJMultiMethod_Type);
}

KIV_API int PyJMultiMethod_Append(ModuleState* state, PyObject* multimethod, PyObject* method) {
  if (!PyJMultiMethod_Check(state, multimethod)) {
    PyErr_SetString(PyExc_TypeError, "PyJMultiMethod_Append received incorrect type");
    return -1;
  }
  if (!PyJMethod_Check(state, method)) {
    PyErr_SetString(PyExc_TypeError, "PyJMultiMethod can only hold PyJMethods");
    return -1;
  }
  auto* mm = reinterpret_cast<PyJMultiMethod*>(multimethod);
  kiv::dispatch_cache_free(mm);  // the choices may change with a new overload
  return PyList_Append(mm->methodList, method);
}

KIV_API PyObject* PyJMultiMethod_GetName(PyObject* multimethod) {
  PyObject* list = reinterpret_cast<PyJMultiMethod*>(multimethod)->methodList;
  if (!list || PyList_GET_SIZE(list) == 0) {
    PyErr_SetString(PyExc_AttributeError, "__name__");
    return nullptr;
  }
  return PyObject_GetAttrString(PyList_GET_ITEM(list, 0), "__name__");
}
