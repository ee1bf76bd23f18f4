// access/access.h: the JNI access layer: cached Java classes, the Java method wrappers
// and the Java string helpers.
//
// Class references.  Each *_TYPE global holds a JNI global reference to its class
// from start-up (cache_frequent_classes, then cache_primitive_classes) until shutdown
// (unref_cache_primitive_classes, then unref_cache_frequent_classes), and is null
// outside that span.  Readers never delete them.
//
// Method wrappers.  One exported function per Java method or constructor the library
// calls: env first, then the target object for an instance method, then the Java
// arguments.  Each caches its method identifier on first use.  A wrapper never tests,
// clears or describes a Java exception (except its own failed look-up) and never
// deletes a local reference: the caller checks for a pending exception after every
// call, and owns and deletes any object returned.  On a failed look-up the result is
// null, 0, false or nothing, with NoSuchMethodError pending; before start-up or after
// shutdown (class reference null) it is the same with IllegalStateException pending.
//
// The interpreter lock.  A wrapper whose row in methods.def says Keep ("keeps the
// lock") may be called with or without the Python interpreter lock and leaves it as it
// was.  A wrapper whose row says Release releases the lock for the whole look-up and
// call and takes it back before it returns: it requires the lock held with a current
// Python thread state.
#pragma once

#include <jni.h>

#include "common/export.h"

// Frequent classes: java.lang.
KIV_API jclass JOBJECT_TYPE;
KIV_API jclass JSTRING_TYPE;
KIV_API jclass JCLASS_TYPE;
KIV_API jclass JCOMPARABLE_TYPE;
KIV_API jclass JAUTOCLOSEABLE_TYPE;
KIV_API jclass JITERABLE_TYPE;
KIV_API jclass JNUMBER_TYPE;
KIV_API jclass JTHROWABLE_TYPE;
KIV_API jclass JCLASSLOADER_TYPE;

// Frequent classes: java.util collections.
KIV_API jclass JLIST_TYPE;
KIV_API jclass JMAP_TYPE;
KIV_API jclass JENTRY_TYPE;  // java.util.Map.Entry
KIV_API jclass JITERATOR_TYPE;
KIV_API jclass JCOLLECTION_TYPE;
KIV_API jclass JARRAYLIST_TYPE;
KIV_API jclass JHASHMAP_TYPE;
KIV_API jclass JCOLLECTIONS_TYPE;

// Frequent classes: boxed values and BigInteger.
KIV_API jclass JBOOL_OBJ_TYPE;
KIV_API jclass JBYTE_OBJ_TYPE;
KIV_API jclass JSHORT_OBJ_TYPE;
KIV_API jclass JINT_OBJ_TYPE;
KIV_API jclass JLONG_OBJ_TYPE;
KIV_API jclass JDOUBLE_OBJ_TYPE;
KIV_API jclass JFLOAT_OBJ_TYPE;
KIV_API jclass JCHAR_OBJ_TYPE;
KIV_API jclass JBIGINTEGER_TYPE;

// Frequent classes: java.nio buffers and byte order.
KIV_API jclass JBUFFER_TYPE;
KIV_API jclass JBYTEBUFFER_TYPE;
KIV_API jclass JBYTEORDER_TYPE;
KIV_API jclass JSHORTBUFFER_TYPE;
KIV_API jclass JINTBUFFER_TYPE;
KIV_API jclass JLONGBUFFER_TYPE;
KIV_API jclass JDOUBLEBUFFER_TYPE;
KIV_API jclass JFLOATBUFFER_TYPE;
KIV_API jclass JCHARBUFFER_TYPE;

// Frequent classes: java.lang.reflect.
KIV_API jclass JEXECUTABLE_TYPE;
KIV_API jclass JANNOTATED_ELEMENT_TYPE;
KIV_API jclass JMEMBER_TYPE;
KIV_API jclass JMETHOD_TYPE;
KIV_API jclass JFIELD_TYPE;
KIV_API jclass JAVA_PROXY_TYPE;  // java.lang.reflect.Proxy
KIV_API jclass JMODIFIER_TYPE;

// Frequent classes: exceptions mapped between Java and Python.
KIV_API jclass CLASSNOTFOUND_EXC_TYPE;
KIV_API jclass INDEX_EXC_TYPE;
KIV_API jclass IO_EXC_TYPE;
KIV_API jclass CLASSCAST_EXC_TYPE;
KIV_API jclass ILLEGALARG_EXC_TYPE;
KIV_API jclass ARITHMETIC_EXC_TYPE;
KIV_API jclass OUTOFMEMORY_EXC_TYPE;
KIV_API jclass ASSERTION_EXC_TYPE;

// Frequent classes: the kiv companion package.
KIV_API jclass KIV_PROXY_TYPE;
KIV_API jclass KIV_EXC_TYPE;
KIV_API jclass STACKOVERFLOW_ERR_TYPE;  // java.lang.StackOverflowError
KIV_API jclass KIV_SYSEXIT_TYPE;  // kiv.SystemExitException
KIV_API jclass JPYOBJECT_TYPE;
KIV_API jclass JPYCALLABLE_TYPE;
KIV_API jclass JPYMETHOD_TYPE;
KIV_API jclass KIV_NDARRAY_TYPE;
KIV_API jclass KIV_DNDARRAY_TYPE;
KIV_API jclass KIV_SUPPORT_TYPE;      // kiv.internal.NativeSupport
KIV_API jclass KIV_SUPPORT_END_TYPE;  // kiv.internal.NativeSupport.End

// Primitive classes (boolean.class ... double.class, void.class).
KIV_API jclass JBOOLEAN_TYPE;
KIV_API jclass JBYTE_TYPE;
KIV_API jclass JCHAR_TYPE;
KIV_API jclass JSHORT_TYPE;
KIV_API jclass JINT_TYPE;
KIV_API jclass JLONG_TYPE;
KIV_API jclass JFLOAT_TYPE;
KIV_API jclass JDOUBLE_TYPE;
KIV_API jclass JVOID_TYPE;

// One-dimensional primitive array classes (boolean[] ... double[]).
KIV_API jclass JBOOLEAN_ARRAY_TYPE;
KIV_API jclass JBYTE_ARRAY_TYPE;
KIV_API jclass JCHAR_ARRAY_TYPE;
KIV_API jclass JSHORT_ARRAY_TYPE;
KIV_API jclass JINT_ARRAY_TYPE;
KIV_API jclass JLONG_ARRAY_TYPE;
KIV_API jclass JFLOAT_ARRAY_TYPE;
KIV_API jclass JDOUBLE_ARRAY_TYPE;

// Method identifiers looked up and stored by the code that uses them; null until
// then, and null again after either unref_cache_* function.
KIV_API jmethodID stackTraceElemInit;  // StackTraceElement(String, String, String, int)
KIV_API jmethodID kivExcInitStrThrow;  // KivException(String, Throwable)
KIV_API jmethodID kivExcInitStrLong;   // KivException(String, long)
KIV_API jmethodID ndarrayInit;         // NDArray(Object, boolean, int[])
KIV_API jmethodID ndarrayGetDims;      // NDArray.getDimensions()
KIV_API jmethodID ndarrayGetData;      // NDArray.getData()
KIV_API jmethodID ndarrayIsUnsigned;   // NDArray.isUnsigned()
KIV_API jmethodID dndarrayGetDims;     // DirectNDArray.getDimensions()
KIV_API jmethodID dndarrayGetData;     // DirectNDArray.getData()
KIV_API jmethodID dndarrayIsUnsigned;  // DirectNDArray.isUnsigned()

// Fills every null frequent-class reference, in a fixed order.  1 when all are set;
// 0 at the first failure, with its Java exception pending and the references made so
// far kept, so that a later call resumes there.  Run on a Java thread whose class
// loader sees the kiv classes.
KIV_API int cache_frequent_classes(JNIEnv* env) noexcept;
// Fills every null primitive and primitive-array class reference; results as for
// cache_frequent_classes.  Requires JCLASS_TYPE (0 with IllegalStateException
// otherwise).  Does not touch the interpreter lock, so runs before Python exists.
KIV_API int cache_primitive_classes(JNIEnv* env) noexcept;
// Delete the references of their group and null them; idempotent.  Both also null
// the ten method-identifier globals above and the identifiers cached by the wrappers
// on kiv classes: once released, those classes can be unloaded with their loader,
// which invalidates their identifiers.  Requires that no other thread uses them.
KIV_API void unref_cache_frequent_classes(JNIEnv* env) noexcept;
KIV_API void unref_cache_primitive_classes(JNIEnv* env) noexcept;

// The modified UTF-8 bytes of `str`, borrowed from the JVM; nullptr for a null string,
// or (string non-null) when the JVM ran out of memory, with OutOfMemoryError pending.
// Not real UTF-8: characters above U+FFFF come as surrogate pairs and U+0000 as C0 80.
KIV_API const char* jstring2char(JNIEnv* env, jstring str) noexcept;
// Gives back a buffer of jstring2char and DELETES the local reference `str`, which the
// caller must not use afterwards (never pass a global reference).  Does nothing at
// all, and keeps `str`, when either argument is null.
KIV_API void release_utf_char(JNIEnv* env, jstring str, const char* chars) noexcept;

// Method wrappers: one row each in access/methods.def, grouped by Java class, which
// gives the name, the Java method, the parameters and the lock column (Keep: "keeps
// the lock"; Release: releases it).  The prototypes below are expanded from those rows,
// as the definitions in wrappers.cpp are, so a new wrapper is one row there.
#define KIV_INSTANCE(name, R, gil, cls, method, sig, params, args) KIV_API R name params noexcept;
#define KIV_STATIC(name, R, gil, cls, method, sig, params, args) KIV_API R name params noexcept;
#define KIV_NEW(name, gil, cls, sig, params, args) KIV_API jobject name params noexcept;
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW

namespace kiv {

// Every wrapper once more, with the same name and arguments, leaving the interpreter
// lock as it is (whatever its row says): for a caller that releases the lock once
// around several Java calls, or for calls that cannot run user code (the value methods
// of the JDK's final boxed classes).  They share the wrappers' method identifiers.
namespace keep_lock {
#define KIV_INSTANCE(name, R, gil, cls, method, sig, params, args) R name params noexcept;
#define KIV_STATIC(name, R, gil, cls, method, sig, params, args) R name params noexcept;
#define KIV_NEW(name, gil, cls, sig, params, args) jobject name params noexcept;
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW
}  // namespace keep_lock

// Forgets the cached method identifiers of the wrappers on kiv classes, so they are
// looked up again once the classes are cached again.  Requires no concurrent calls of
// those wrappers.
void forget_kiv_method_ids() noexcept;

// List.add and Map.put keeping the interpreter lock, sharing the wrappers' method
// identifiers.  Only for a java.util.ArrayList or HashMap the library made itself, with
// JDK values as map keys: then nothing they run can reach Python or wait for another
// thread, and a lock round trip per element would cost more than the element.
jboolean list_add_keeping_lock(JNIEnv* env, jobject list, jobject item) noexcept;
jobject map_put_keeping_lock(JNIEnv* env, jobject map, jobject key, jobject value) noexcept;

}  // namespace kiv
