// Objects/pyjbuffer.cpp: java.nio.Buffer through the Python buffer protocol.  A direct
// buffer's memory is handed to memoryview, NumPy and every other consumer in place,
// with a struct format for its element type and byte order; a read-only Java buffer
// gives a read-only view.  Nothing is copied or allocated.
#include <Python.h>
#include <jni.h>

#include <atomic>
#include <cstring>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/gil.h"
#include "common/jref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;

namespace {

// One row per buffer class, searched in this order.  A view uses the native format
// only for a buffer in the machine's byte order whose two sizes are equal (never for a
// CharBuffer), else the explicit little- or big-endian one.  The order functions leave
// the interpreter lock alone: the buffer is examined with it released once.
struct FormatRow {
  jclass* cls;
  jobject (*order)(JNIEnv*, jobject) noexcept;
  Py_ssize_t itemsize;
  Py_ssize_t secondSize;
  const char* native;
  const char* little;
  const char* big;
};

const FormatRow kFormats[] = {
    {&JBYTEBUFFER_TYPE, kiv::keep_lock::java_nio_ByteBuffer_order, 1, 1, "b", "b", "b"},
    {&JFLOATBUFFER_TYPE, kiv::keep_lock::java_nio_FloatBuffer_order, 4, 4, "f", "<f", ">f"},
    {&JDOUBLEBUFFER_TYPE, kiv::keep_lock::java_nio_DoubleBuffer_order, 8, 8, "d", "<d", ">d"},
    {&JINTBUFFER_TYPE, kiv::keep_lock::java_nio_IntBuffer_order, 4, 4, "i", "<i", ">i"},
    {&JLONGBUFFER_TYPE, kiv::keep_lock::java_nio_LongBuffer_order, 8, 8, "q", "<q", ">q"},
    {&JSHORTBUFFER_TYPE, kiv::keep_lock::java_nio_ShortBuffer_order, 2, 2, "h", "<h", ">h"},
    {&JCHARBUFFER_TYPE, kiv::keep_lock::java_nio_CharBuffer_order, 2, 1, "H", "<H", ">H"},
};

// ByteOrder.nativeOrder() and ByteOrder.LITTLE_ENDIAN, made once per process and kept.
// Interpreters with their own locks may fill them at the same time: the first stored
// wins, and the other thread lets its reference go.
std::atomic<jobject> g_nativeOrder{nullptr};
std::atomic<jobject> g_littleEndian{nullptr};

// The cached global reference, made on first use by make() (a local reference, or null
// with a Java exception pending); null with the exception pending.
template <class Make>
jobject cached(JNIEnv* env, std::atomic<jobject>& slot, Make make) {
  if (jobject known = slot.load(std::memory_order_acquire)) return known;
  LocalRef<jobject> local(env, make());
  if (!local || env->ExceptionCheck()) return nullptr;
  kiv::GlobalRef<jobject> fresh = kiv::GlobalRef<jobject>::make(env, local.get());
  if (!fresh) return nullptr;
  jobject expected = nullptr;
  if (slot.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) return fresh.release();
  return expected;  // `fresh` goes
}

jobject little_endian(JNIEnv* env) {
  return cached(env, g_littleEndian, [env]() -> jobject {
    jfieldID id = env->GetStaticFieldID(JBYTEORDER_TYPE, "LITTLE_ENDIAN", "Ljava/nio/ByteOrder;");
    return id && !env->ExceptionCheck() ? env->GetStaticObjectField(JBYTEORDER_TYPE, id) : nullptr;
  });
}

jobject native_order(JNIEnv* env) {
  return cached(env, g_nativeOrder, [env] { return kiv::keep_lock::java_nio_ByteOrder_nativeOrder(env); });
}

// What a view of a buffer needs to know, found with JNI alone.  `refusal` names the
// first reason the buffer cannot be viewed; a pending Java exception comes first.
struct Probe {
  void* address = nullptr;
  jlong capacity = 0;
  const FormatRow* row = nullptr;
  jboolean readOnly = JNI_FALSE;
  const char* format = nullptr;
  enum { None, NotDirect, NoCapacity, NoAddress, NoRow, NoOrder } refusal = None;
};

// Examines the buffer: direct, its memory, its class, read-only, and (when wanted) the
// format for its byte order.  Makes only JNI calls: runs with the interpreter lock
// released.  Stops at the first refusal or Java exception.
void probe(JNIEnv* env, jobject buffer, bool wantFormat, Probe* p) {
  jboolean direct = kiv::keep_lock::java_nio_Buffer_isDirect(env, buffer);
  if (env->ExceptionCheck()) return;
  if (!direct) {
    p->refusal = Probe::NotDirect;
    return;
  }
  p->address = env->GetDirectBufferAddress(buffer);
  p->capacity = env->GetDirectBufferCapacity(buffer);
  if (env->ExceptionCheck()) return;
  if (p->capacity < 0) {
    p->refusal = Probe::NoCapacity;
    return;
  }
  // An empty buffer may have no memory at all; nothing is ever read from its view.
  static char empty[8];
  if (!p->address) {
    if (p->capacity > 0) {
      p->refusal = Probe::NoAddress;
      return;
    }
    p->address = empty;
  }
  for (const FormatRow& r : kFormats) {
    if (*r.cls && env->IsInstanceOf(buffer, *r.cls)) {
      p->row = &r;
      break;
    }
  }
  if (!p->row) {
    p->refusal = Probe::NoRow;
    return;
  }
  p->readOnly = kiv::keep_lock::java_nio_Buffer_isReadOnly(env, buffer);
  if (env->ExceptionCheck() || !wantFormat) return;
  jobject native = native_order(env);
  jobject little = native ? little_endian(env) : nullptr;
  if (!little) {
    if (!env->ExceptionCheck()) p->refusal = Probe::NoOrder;
    return;
  }
  LocalRef<jobject> order(env, p->row->order(env, buffer));
  if (env->ExceptionCheck()) return;
  if (kiv::same(env, order.get(), native) && p->row->itemsize == p->row->secondSize) {
    p->format = p->row->native;
  } else {
    p->format = kiv::same(env, order.get(), little) ? p->row->little : p->row->big;
  }
}

// The whole capacity from the buffer's base address, whatever its position and limit.
// Everything that can fail is done before the view is filled, so a failure leaves the
// view empty and holding no reference.
int buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  view->obj = nullptr;
  view->buf = nullptr;
  JNIEnv* env = kiv::env_or_error();
  jobject buffer = env ? kiv::java_self(env, self, JBUFFER_TYPE, "java.nio.Buffer") : nullptr;
  if (!buffer) return -1;
  Probe p;
  {
    kiv::AllowThreads nogil;
    probe(env, buffer, (flags & PyBUF_FORMAT) == PyBUF_FORMAT, &p);
  }
  if (process_java_exception(env)) return -1;
  switch (p.refusal) {
    case Probe::None:
      break;
    case Probe::NotDirect:
      PyErr_SetString(PyExc_TypeError, "Python buffer access is only allowed for direct Java Buffers.");
      return -1;
    case Probe::NoCapacity:
      PyErr_SetString(PyExc_BufferError, "Python buffer access is not available for this Java Buffer.");
      return -1;
    case Probe::NoAddress:
      PyErr_SetString(PyExc_BufferError, "Java Buffer has no address.");
      return -1;
    case Probe::NoRow:
      PyErr_Format(PyExc_TypeError, "Python buffer access is not allowed for %s", Py_TYPE(self)->tp_name);
      return -1;
    case Probe::NoOrder:
      PyErr_SetString(PyExc_RuntimeError, "java.nio.ByteOrder is not available");
      return -1;
  }
  if (p.readOnly && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "Object is not writable.");
    return -1;
  }
  view->buf = p.address;
  view->obj = Py_NewRef(self);
  view->len = static_cast<Py_ssize_t>(p.capacity) * p.row->itemsize;
  view->readonly = p.readOnly ? 1 : 0;
  view->itemsize = p.row->itemsize;
  view->format = const_cast<char*>(p.format);
  view->ndim = 1;
  // The shape lives in the view itself (its internal field) and the single stride is
  // the item size, so the view needs no memory of its own.
  static_assert(sizeof(view->internal) == sizeof(Py_ssize_t), "the shape is kept in the view's internal field");
  auto shape = static_cast<Py_ssize_t>(p.capacity);
  std::memcpy(&view->internal, &shape, sizeof shape);
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? reinterpret_cast<Py_ssize_t*>(&view->internal) : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
  view->suboffsets = nullptr;
  return 0;
}

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(KIV_PY_BOUNDARY(buffer_getbuffer))},
    {Py_tp_doc, const_cast<char*>("Kiv java.nio.Buffer")},
    {0, nullptr}};

}  // namespace

// A class type: it keeps the record of java.lang.Object, its base.
KIV_EXPORT PyType_Spec PyJBuffer_Spec = {"java.nio.Buffer", static_cast<int>(sizeof(PyJObject)), 0,
                                         kiv::kProtocolFlags, buffer_slots};
