// embed/binding_cache.cpp: the per-binding caches of names and compiled code.
#include "embed/binding_cache.h"

#include <new>
#include <utility>

namespace kiv {

JavaText::JavaText(JNIEnv* env, jstring s, char16_t tag, size_t max) noexcept {
  if (!s) return;
  jsize n = env->GetStringLength(s);
  size_t units = static_cast<size_t>(n);
  if (n < 0 || units > max) return;
  char16_t* out = stack_;
  if (units + 1 > kStack) {
    try {
      heap_.resize(units + 1);
    } catch (const std::bad_alloc&) {
      return;  // not read: the caller converts the text as it would without a cache
    }
    out = heap_.data();
    data_ = out;
  }
  out[0] = tag;
  static_assert(sizeof(char16_t) == sizeof(jchar), "Java strings are UTF-16 code units");
  env->GetStringRegion(s, 0, n, reinterpret_cast<jchar*>(out + 1));  // in range: cannot throw
  size_ = units + 1;
}

TextCache::~TextCache() {
  index_.clear();
  for (Entry& e : order_) Py_CLEAR(e.value);
}

PyObject* TextCache::find(std::u16string_view key) noexcept {
  auto hit = index_.find(key);
  if (hit == index_.end()) return nullptr;
  if (hit->second != order_.begin()) order_.splice(order_.begin(), order_, hit->second);
  return hit->second->value;
}

void TextCache::put(std::u16string_view key, PyObject* value) noexcept {
  if (capacity_ == 0) return;
  PyObject* dropped = nullptr;
  try {
    order_.push_front(Entry{std::u16string(key), nullptr});
  } catch (const std::bad_alloc&) {
    return;
  }
  try {
    // Already there when code run while the value was made (a warning's hook, an
    // import) put the same text: the first one stays.
    if (!index_.emplace(std::u16string_view(order_.front().key), order_.begin()).second) {
      order_.pop_front();
      return;
    }
  } catch (const std::bad_alloc&) {
    order_.pop_front();
    return;
  }
  order_.front().value = Py_NewRef(value);
  if (order_.size() > capacity_) {
    Entry& last = order_.back();
    index_.erase(std::u16string_view(last.key));
    dropped = last.value;
    order_.pop_back();
  }
  // Last: letting an object go may run Python code (a weak reference's callback), which
  // may come back here; the structures are consistent by now.
  Py_XDECREF(dropped);
}

namespace {

// The key under which a binding's own thread state keeps its caches.
constexpr const char* kCacheKey = "kiv.binding.cache";

void free_cache(PyObject* capsule) {
  delete static_cast<BindingCache*>(PyCapsule_GetPointer(capsule, kCacheKey));
}

}  // namespace

BindingCache* binding_cache(KivThread* rec) noexcept {
  if (BindingCache* known = rec->cache) return known;
  // Kept in the dict of the binding's own thread state, which is cleared (with the
  // interpreter lock held) when the binding closes: the cached objects go with it.
  PyObject* dict = PyThreadState_GetDict();
  if (!dict || PyThreadState_Get() != rec->tstate) return nullptr;
  auto* cache = new (std::nothrow) BindingCache();
  if (!cache) return nullptr;
  cache->builtinsName = PyUnicode_InternFromString("__builtins__");
  if (!cache->builtinsName) {
    delete cache;
    PyErr_Clear();
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(cache, kCacheKey, free_cache);
  if (!capsule) {
    delete cache;
    PyErr_Clear();
    return nullptr;
  }
  int stored = PyDict_SetItemString(dict, kCacheKey, capsule);
  Py_DECREF(capsule);  // the dict holds it now, or it freed the cache
  if (stored < 0) {
    PyErr_Clear();
    return nullptr;
  }
  rec->cache = cache;
  return cache;
}

}  // namespace kiv
