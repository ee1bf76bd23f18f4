// access/class_cache.cpp: the process-wide class references, filled at start-up and
// released at shutdown, and the method-identifier globals that their users fill.
#include "access/access.h"

#include "common/jref.h"
#include "exceptions/throw.h"

// Frequent classes, in fill and release order.
#define KIV_FREQUENT_CLASSES(X)                                   \
  X(JOBJECT_TYPE, "java/lang/Object")                             \
  X(JSTRING_TYPE, "java/lang/String")                             \
  X(JCLASS_TYPE, "java/lang/Class")                               \
  X(JLIST_TYPE, "java/util/List")                                 \
  X(JMAP_TYPE, "java/util/Map")                                   \
  X(JENTRY_TYPE, "java/util/Map$Entry")                           \
  X(JITERABLE_TYPE, "java/lang/Iterable")                         \
  X(JITERATOR_TYPE, "java/util/Iterator")                         \
  X(JCOLLECTION_TYPE, "java/util/Collection")                     \
  X(JCOMPARABLE_TYPE, "java/lang/Comparable")                     \
  X(JAUTOCLOSEABLE_TYPE, "java/lang/AutoCloseable")               \
  X(JBIGINTEGER_TYPE, "java/math/BigInteger")                     \
  X(JBOOL_OBJ_TYPE, "java/lang/Boolean")                          \
  X(JBYTEBUFFER_TYPE, "java/nio/ByteBuffer")                      \
  X(JBYTE_OBJ_TYPE, "java/lang/Byte")                             \
  X(JBYTEORDER_TYPE, "java/nio/ByteOrder")                        \
  X(JBUFFER_TYPE, "java/nio/Buffer")                              \
  X(JSHORT_OBJ_TYPE, "java/lang/Short")                           \
  X(JSHORTBUFFER_TYPE, "java/nio/ShortBuffer")                    \
  X(JINT_OBJ_TYPE, "java/lang/Integer")                           \
  X(JINTBUFFER_TYPE, "java/nio/IntBuffer")                        \
  X(JLONG_OBJ_TYPE, "java/lang/Long")                             \
  X(JLONGBUFFER_TYPE, "java/nio/LongBuffer")                      \
  X(JDOUBLE_OBJ_TYPE, "java/lang/Double")                         \
  X(JDOUBLEBUFFER_TYPE, "java/nio/DoubleBuffer")                  \
  X(JFLOAT_OBJ_TYPE, "java/lang/Float")                           \
  X(JFLOATBUFFER_TYPE, "java/nio/FloatBuffer")                    \
  X(JCHAR_OBJ_TYPE, "java/lang/Character")                        \
  X(JCHARBUFFER_TYPE, "java/nio/CharBuffer")                      \
  X(JNUMBER_TYPE, "java/lang/Number")                             \
  X(JEXECUTABLE_TYPE, "java/lang/reflect/Executable")             \
  X(JANNOTATED_ELEMENT_TYPE, "java/lang/reflect/AnnotatedElement") \
  X(JMEMBER_TYPE, "java/lang/reflect/Member")                     \
  X(JMETHOD_TYPE, "java/lang/reflect/Method")                     \
  X(JFIELD_TYPE, "java/lang/reflect/Field")                       \
  X(JAVA_PROXY_TYPE, "java/lang/reflect/Proxy")                   \
  X(JTHROWABLE_TYPE, "java/lang/Throwable")                       \
  X(JMODIFIER_TYPE, "java/lang/reflect/Modifier")                 \
  X(JARRAYLIST_TYPE, "java/util/ArrayList")                       \
  X(JHASHMAP_TYPE, "java/util/HashMap")                           \
  X(JCOLLECTIONS_TYPE, "java/util/Collections")                   \
  X(JCLASSLOADER_TYPE, "java/lang/ClassLoader")                   \
  X(KIV_PROXY_TYPE, "kiv/Proxy")                                  \
  X(CLASSNOTFOUND_EXC_TYPE, "java/lang/ClassNotFoundException")   \
  X(INDEX_EXC_TYPE, "java/lang/IndexOutOfBoundsException")        \
  X(IO_EXC_TYPE, "java/io/IOException")                           \
  X(CLASSCAST_EXC_TYPE, "java/lang/ClassCastException")           \
  X(ILLEGALARG_EXC_TYPE, "java/lang/IllegalArgumentException")    \
  X(ARITHMETIC_EXC_TYPE, "java/lang/ArithmeticException")         \
  X(OUTOFMEMORY_EXC_TYPE, "java/lang/OutOfMemoryError")           \
  X(ASSERTION_EXC_TYPE, "java/lang/AssertionError")               \
  X(STACKOVERFLOW_ERR_TYPE, "java/lang/StackOverflowError")        \
  X(KIV_EXC_TYPE, "kiv/KivException")                             \
  X(KIV_SYSEXIT_TYPE, "kiv/SystemExitException")                  \
  X(JPYOBJECT_TYPE, "kiv/python/PyObject")                        \
  X(JPYCALLABLE_TYPE, "kiv/python/PyCallable")                    \
  X(JPYMETHOD_TYPE, "kiv/PyMethod")                               \
  X(KIV_NDARRAY_TYPE, "kiv/NDArray")                              \
  X(KIV_DNDARRAY_TYPE, "kiv/DirectNDArray")                      \
  X(KIV_SUPPORT_TYPE, "kiv/internal/NativeSupport")               \
  X(KIV_SUPPORT_END_TYPE, "kiv/internal/NativeSupport$End")

// Primitive classes with their array classes, in fill order.  void, which has no
// array class, comes last and separately.
#define KIV_PRIMITIVE_CLASSES(X)                       \
  X(JBOOLEAN_TYPE, JBOOLEAN_ARRAY_TYPE, "[Z")          \
  X(JBYTE_TYPE, JBYTE_ARRAY_TYPE, "[B")                \
  X(JCHAR_TYPE, JCHAR_ARRAY_TYPE, "[C")                \
  X(JSHORT_TYPE, JSHORT_ARRAY_TYPE, "[S")              \
  X(JINT_TYPE, JINT_ARRAY_TYPE, "[I")                  \
  X(JLONG_TYPE, JLONG_ARRAY_TYPE, "[J")                \
  X(JFLOAT_TYPE, JFLOAT_ARRAY_TYPE, "[F")              \
  X(JDOUBLE_TYPE, JDOUBLE_ARRAY_TYPE, "[D")

#define KIV_METHOD_ID_GLOBALS(X)                                                    \
  X(stackTraceElemInit) X(kivExcInitStrThrow) X(kivExcInitStrLong) X(ndarrayInit) \
  X(ndarrayGetDims) X(ndarrayGetData) X(ndarrayIsUnsigned) X(dndarrayGetDims)     \
  X(dndarrayGetData) X(dndarrayIsUnsigned)

#define KIV_DEFINE_CLASS(global, ...) KIV_EXPORT jclass global = nullptr;
#define KIV_DEFINE_PRIMITIVE(primitive, array, descriptor) \
  KIV_EXPORT jclass primitive = nullptr;                   \
  KIV_EXPORT jclass array = nullptr;
#define KIV_DEFINE_METHOD_ID(global) KIV_EXPORT jmethodID global = nullptr;

extern "C" {
KIV_FREQUENT_CLASSES(KIV_DEFINE_CLASS)
KIV_PRIMITIVE_CLASSES(KIV_DEFINE_PRIMITIVE)
KIV_EXPORT jclass JVOID_TYPE = nullptr;
KIV_METHOD_ID_GLOBALS(KIV_DEFINE_METHOD_ID)
}

namespace {

struct ClassRow {
  jclass* global;
  const char* name;  // for FindClass
};

struct PrimitiveRow {
  jclass* primitive;
  jclass* array;
  const char* descriptor;  // of the array class, for FindClass
};

#define KIV_CLASS_ROW(global, name) {&global, name},
#define KIV_PRIMITIVE_ROW(primitive, array, descriptor) {&primitive, &array, descriptor},
#define KIV_METHOD_ID_ROW(global) &global,

constexpr ClassRow kFrequentClasses[] = {KIV_FREQUENT_CLASSES(KIV_CLASS_ROW)};
constexpr PrimitiveRow kPrimitiveClasses[] = {KIV_PRIMITIVE_CLASSES(KIV_PRIMITIVE_ROW)};
constexpr jmethodID* kMethodIdGlobals[] = {KIV_METHOD_ID_GLOBALS(KIV_METHOD_ID_ROW)};

static_assert(sizeof kFrequentClasses / sizeof kFrequentClasses[0] == 61);
static_assert(sizeof kPrimitiveClasses / sizeof kPrimitiveClasses[0] == 8);
static_assert(sizeof kMethodIdGlobals / sizeof kMethodIdGlobals[0] == 10);

// Stores a global reference to `local` in `*slot`, then deletes `local`.  False, with
// a Java exception pending and `*slot` untouched, when there is nothing to keep.
bool keep_global(JNIEnv* env, jclass* slot, jobject local) noexcept {
  if (!local) {  // no exception, yet no class: not expected from the JVM
    kiv::throw_java_unless_pending(env, "java/lang/IllegalStateException",
                                   "class look-up gave null");
    return false;
  }
  // Raw on purpose: the slot is an exported C global that unref_cache_* releases.
  jobject global = env->NewGlobalRef(local);
  env->DeleteLocalRef(local);
  if (!global) {
    kiv::throw_java_unless_pending(env, "java/lang/OutOfMemoryError",
                                   "no memory for a global reference to a class");
    return false;
  }
  *slot = static_cast<jclass>(global);
  return true;
}

// Fills `*slot` with the class `name` unless it is already set.  False with the
// exception pending on failure.
bool fill_class(JNIEnv* env, jclass* slot, const char* name) noexcept {
  if (*slot) return true;
  jclass local = env->FindClass(name);
  if (env->ExceptionCheck()) return false;
  return keep_global(env, slot, local);
}

// void.class, read from Void.TYPE since void has no array class.
bool fill_void(JNIEnv* env) noexcept {
  if (JVOID_TYPE) return true;
  kiv::LocalRef<jclass> void_class(env, env->FindClass("java/lang/Void"));
  if (env->ExceptionCheck()) return false;
  jfieldID type = env->GetStaticFieldID(void_class.get(), "TYPE", "Ljava/lang/Class;");
  if (env->ExceptionCheck()) return false;
  jobject value = env->GetStaticObjectField(void_class.get(), type);
  if (env->ExceptionCheck()) return false;
  return keep_global(env, &JVOID_TYPE, value);
}

void release_class(JNIEnv* env, jclass* slot) noexcept {
  if (!*slot) return;
  env->DeleteGlobalRef(*slot);
  *slot = nullptr;
}

// Method identifiers of a class become invalid when the class is unloaded, which can
// happen to the kiv classes (with their loader) once we drop our references.
void forget_method_ids() noexcept {
  for (jmethodID* id : kMethodIdGlobals) *id = nullptr;
  kiv::forget_kiv_method_ids();
}

}  // namespace

KIV_API int cache_frequent_classes(JNIEnv* env) noexcept {
  for (const ClassRow& row : kFrequentClasses) {
    if (!fill_class(env, row.global, row.name)) return 0;
  }
  return 1;
}

KIV_API int cache_primitive_classes(JNIEnv* env) noexcept {
  // getComponentType is looked up on java.lang.Class.
  if (!JCLASS_TYPE) {
    kiv::throw_java_unless_pending(env, "java/lang/IllegalStateException",
                                   "class cache not initialised");
    return 0;
  }
  for (const PrimitiveRow& row : kPrimitiveClasses) {
    if (*row.primitive) continue;
    if (!fill_class(env, row.array, row.descriptor)) return 0;
    jclass component = java_lang_Class_getComponentType(env, *row.array);
    if (env->ExceptionCheck()) return 0;
    if (!keep_global(env, row.primitive, component)) return 0;
  }
  return fill_void(env) ? 1 : 0;
}

KIV_API void unref_cache_frequent_classes(JNIEnv* env) noexcept {
  for (const ClassRow& row : kFrequentClasses) release_class(env, row.global);
  forget_method_ids();
}

KIV_API void unref_cache_primitive_classes(JNIEnv* env) noexcept {
  for (const PrimitiveRow& row : kPrimitiveClasses) release_class(env, row.primitive);
  release_class(env, &JVOID_TYPE);
  for (const PrimitiveRow& row : kPrimitiveClasses) release_class(env, row.array);
  forget_method_ids();
}
