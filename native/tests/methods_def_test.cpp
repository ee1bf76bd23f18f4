// tests/methods_def_test.cpp: every row of access/methods.def names a method that exists
// on its class, with the row's kind (instance, static, constructor), and the row's C
// result and parameter types fit the JNI signature (the wrappers pass arguments as a
// jvalue array and read the result with the Call<Type>Method for the C result type,
// so a mismatch there reads or writes the wrong union member without any JNI error).
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "access/access.h"

namespace {

enum class Kind { Instance, Static, Constructor };

// The descriptor a C type stands for: one letter for a primitive or void, "L" for
// any reference, and the full descriptor for the reference types JNI names.
template <class T>
std::string descriptor_of() {
  if constexpr (std::is_void_v<T>) return "V";
  else if constexpr (std::is_same_v<T, jboolean>) return "Z";
  else if constexpr (std::is_same_v<T, jbyte>) return "B";
  else if constexpr (std::is_same_v<T, jchar>) return "C";
  else if constexpr (std::is_same_v<T, jshort>) return "S";
  else if constexpr (std::is_same_v<T, jint>) return "I";
  else if constexpr (std::is_same_v<T, jlong>) return "J";
  else if constexpr (std::is_same_v<T, jfloat>) return "F";
  else if constexpr (std::is_same_v<T, jdouble>) return "D";
  else if constexpr (std::is_same_v<T, jstring>) return "Ljava/lang/String;";
  else if constexpr (std::is_same_v<T, jclass>) return "Ljava/lang/Class;";
  else if constexpr (std::is_same_v<T, jthrowable>) return "Ljava/lang/Throwable;";
  else if constexpr (std::is_same_v<T, jbyteArray>) return "[B";
  else if constexpr (std::is_same_v<T, jobjectArray>) return "[L";  // any array of references
  else if constexpr (std::is_same_v<T, jobject>) return "L";        // any reference
  else static_assert(!sizeof(T), "not a JNI type");
}

// The descriptors of a wrapper's Java arguments: its parameters after env (and, for an
// instance method, after the target).
template <class F>
struct JavaParams;
template <class R, class... A>
struct JavaParams<R(JNIEnv*, A...)> {
  static std::vector<std::string> get(bool skip_target) {
    std::vector<std::string> all = {descriptor_of<A>()...};
    if (skip_target && !all.empty()) all.erase(all.begin());
    return all;
  }
};

// Splits "(IJLjava/lang/String;[[I)V" into its parameters and result.
bool parse_signature(const std::string& sig, std::vector<std::string>* params, std::string* result) {
  if (sig.empty() || sig[0] != '(') return false;
  size_t i = 1;
  auto one = [&](std::string* out) {
    size_t start = i;
    while (i < sig.size() && sig[i] == '[') ++i;
    if (i >= sig.size()) return false;
    if (sig[i] == 'L') {
      size_t end = sig.find(';', i);
      if (end == std::string::npos) return false;
      i = end + 1;
    } else {
      if (std::string("ZBCSIJFDV").find(sig[i]) == std::string::npos) return false;
      ++i;
    }
    *out = sig.substr(start, i - start);
    return true;
  };
  while (i < sig.size() && sig[i] != ')') {
    std::string p;
    if (!one(&p)) return false;
    params->push_back(p);
  }
  if (i >= sig.size()) return false;
  ++i;
  return one(result) && i == sig.size();
}

// Does the C type's descriptor fit the Java one?
bool fits(const std::string& c, const std::string& java) {
  if (c == "L") return java[0] == 'L' || java[0] == '[';
  if (c == "[L") return java.size() > 1 && java[0] == '[' && (java[1] == 'L' || java[1] == '[');
  return c == java;
}

struct Row {
  const char* wrapper;
  const char* class_global;
  jclass* cls;
  Kind kind;
  const char* method;
  const char* signature;
  std::string result;               // of the C result type
  std::vector<std::string> params;  // of the C parameter types
};

#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW
#define KIV_INSTANCE(name, R, gil, cls, method, sig, params, ...) \
  {#name, #cls, &cls, Kind::Instance, method, sig, descriptor_of<R>(), JavaParams<R params>::get(true)},
#define KIV_STATIC(name, R, gil, cls, method, sig, params, ...) \
  {#name, #cls, &cls, Kind::Static, method, sig, descriptor_of<R>(), JavaParams<R params>::get(false)},
#define KIV_NEW(name, gil, cls, sig, params, ...) \
  {#name, #cls, &cls, Kind::Constructor, "<init>", sig, "L", JavaParams<jobject params>::get(false)},
const std::vector<Row>& rows() {
  static const std::vector<Row> all = {
#include "access/methods.def"
  };
  return all;
}
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW

// Fills the library's class cache for the test and empties it afterwards.
class MethodsDef : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    JNIEnv* env = kiv_test::env();
    filled = cache_frequent_classes(env) && cache_primitive_classes(env);
    if (!filled && env->ExceptionCheck()) {
      env->ExceptionDescribe();  // which class is missing
      env->ExceptionClear();
    }
  }
  static void TearDownTestSuite() {
    JNIEnv* env = kiv_test::env();
    unref_cache_primitive_classes(env);
    unref_cache_frequent_classes(env);
  }
  void SetUp() override {
    ASSERT_TRUE(filled) << "the class cache could not be filled: are the kiv classes built "
                           "(java/target/classes, or KIV_TEST_CLASSPATH)?";
  }
  static bool filled;
  JNIEnv* env = kiv_test::env();
};
bool MethodsDef::filled = false;

TEST_F(MethodsDef, EveryRowResolvesOnItsClass) {
  ASSERT_GT(rows().size(), 90u);
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.wrapper);
    ASSERT_NE(nullptr, *row.cls) << row.class_global << " is not filled by the class cache";
    jmethodID id = row.kind == Kind::Static ? env->GetStaticMethodID(*row.cls, row.method, row.signature)
                                            : env->GetMethodID(*row.cls, row.method, row.signature);
    if (env->ExceptionCheck()) {
      env->ExceptionDescribe();
      env->ExceptionClear();
    }
    EXPECT_NE(nullptr, id) << row.class_global << "." << row.method << row.signature;
  }
}

TEST_F(MethodsDef, TypesOfEveryRowFitItsSignature) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.wrapper);
    std::vector<std::string> params;
    std::string result;
    ASSERT_TRUE(parse_signature(row.signature, &params, &result)) << row.signature;
    if (row.kind == Kind::Constructor) {
      EXPECT_EQ("V", result) << "a constructor returns void in its signature";
    } else {
      EXPECT_TRUE(fits(row.result, result)) << row.result << " for " << result;
    }
    ASSERT_EQ(params.size(), row.params.size()) << row.signature;
    for (size_t i = 0; i < params.size(); ++i) {
      EXPECT_TRUE(fits(row.params[i], params[i])) << "parameter " << i << ": " << row.params[i] << " for "
                                                  << params[i];
    }
  }
}

TEST_F(MethodsDef, WrapperNamesSayTheirClassAndMethod) {
  // java_util_Map_Entry_getKey: the class with '/' and '$' as '_', then the method;
  // constructors say new_ and their parameters.
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.wrapper);
    jclass cls = *row.cls;
    ASSERT_NE(nullptr, cls);
    jclass class_class = env->GetObjectClass(cls);
    jmethodID get_name = env->GetMethodID(class_class, "getName", "()Ljava/lang/String;");
    auto name = static_cast<jstring>(env->CallObjectMethod(cls, get_name));
    ASSERT_FALSE(env->ExceptionCheck());
    const char* chars = env->GetStringUTFChars(name, nullptr);
    std::string prefix = chars;
    env->ReleaseStringUTFChars(name, chars);
    env->DeleteLocalRef(name);
    env->DeleteLocalRef(class_class);
    for (char& c : prefix) {
      if (c == '.' || c == '$') c = '_';
    }
    std::string expected = prefix + "_" + (row.kind == Kind::Constructor ? std::string("new_") : row.method);
    EXPECT_EQ(0u, std::string(row.wrapper).rfind(expected, 0)) << "expected a name starting " << expected;
  }
}

}  // namespace
