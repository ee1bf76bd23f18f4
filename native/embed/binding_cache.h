// embed/binding_cache.h: what a binding keeps between calls from Java so that a repeated
// call does not redo its work: the Python str of each name Java passes to invoke, and
// the code object of each text it runs, evaluates or compiles.  Both are keyed by the
// text exactly as Java holds it (UTF-16 code units) behind a tag that tells the uses
// apart, and both are bounded: the entry used least recently goes first.
#pragma once

#include <Python.h>
#include <jni.h>

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "embed/state.h"

namespace kiv {

// The code units of a Java string behind a one-unit tag, read with two JNI calls and no
// conversion: the key of the caches below.  Texts of up to kStack units stay on the
// stack; longer ones up to `max` are copied to the heap; longer ones still are not read.
class JavaText {
 public:
  JavaText(JNIEnv* env, jstring s, char16_t tag, size_t max) noexcept;
  JavaText(const JavaText&) = delete;
  JavaText& operator=(const JavaText&) = delete;
  // True when the text was read (s was not null and not longer than max).
  bool ok() const noexcept { return size_ > 0; }
  // The tag followed by the text; empty unless ok().
  std::u16string_view key() const noexcept { return {data_, size_}; }

 private:
  static constexpr size_t kStack = 128;
  char16_t stack_[kStack];
  std::u16string heap_;
  const char16_t* data_ = stack_;
  size_t size_ = 0;
};

// Python objects by key, at most `capacity` of them, holding a reference to each.
// Requires the interpreter lock for every call, the destructor included.
class TextCache {
 public:
  explicit TextCache(size_t capacity) noexcept : capacity_(capacity) {}
  ~TextCache();
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;

  // The object kept for key (borrowed: take a reference before running Python code),
  // now the most recently used; nullptr when there is none.
  PyObject* find(std::u16string_view key) noexcept;
  // Keeps a reference to value under key (a key kept already keeps its first value),
  // letting go of the least recently used entry beyond the capacity.  Out of memory,
  // keeps nothing.
  void put(std::u16string_view key, PyObject* value) noexcept;
  size_t size() const noexcept { return order_.size(); }

 private:
  struct Entry {
    std::u16string key;
    PyObject* value;
  };
  size_t capacity_;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::u16string_view, std::list<Entry>::iterator> index_;  // views into order_'s keys
};

// The caches of one binding.
struct BindingCache {
  // Tags of the keys: a name for invoke, and the compile modes (with the file name each
  // compiles under) of exec, eval, getValue and compileString.
  static constexpr char16_t kName = u'n';
  static constexpr char16_t kExec = u'x';
  static constexpr char16_t kEval = u'e';
  static constexpr char16_t kExpression = u'v';
  static constexpr char16_t kConsole = u'c';
  // Longest name and text kept, in UTF-16 units: longer ones are converted each time.
  static constexpr size_t kMaxName = 256;
  static constexpr size_t kMaxText = 16384;

  TextCache names{64};
  TextCache code{64};
  PyObject* builtinsName = nullptr;  // "__builtins__", interned; made with the cache

  BindingCache() noexcept = default;
  ~BindingCache() { Py_CLEAR(builtinsName); }
  BindingCache(const BindingCache&) = delete;
  BindingCache& operator=(const BindingCache&) = delete;
};

// The caches of rec, made on first use and let go with rec's own thread state (whose
// dict holds them), when its binding closes.  nullptr when they cannot be made (then
// the caller goes without, and no error is left set).  Requires rec's own thread state
// current, as on the thread that owns the binding.
BindingCache* binding_cache(KivThread* rec) noexcept;

}  // namespace kiv
