// common/stack.h: how much of the calling thread's C stack is left.
//
// Recursive conversions bound their depth by the interpreter's C recursion limit, which
// assumes a stack of several megabytes.  A Java thread may have far less (Thread's
// stackSize, -Xss), and its lowest pages are the JVM's guard zones: native code that
// reaches them crashes the JVM, and a Java call made near them throws
// StackOverflowError.  So each level also checks the stack that is really left.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace kiv {

// Room kept free below the deepest nesting level: the JVM's guard zones and the stack
// that a Java call made from that level needs (the JVM refuses calls that would leave
// less than its shadow zone, about 100 KB on x86-64).
constexpr std::size_t kStackReserve = 160 * 1024;

// The lowest usable address of this thread's stack (plus the reserve), found once per
// thread; 0 when the bounds cannot be read (no check then).
inline std::uintptr_t stack_floor() noexcept {
  static thread_local std::uintptr_t floor = [] {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::uintptr_t{0};
    void* low = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || !low) return std::uintptr_t{0};
    // A stack smaller than twice the reserve keeps half of it for the nesting.
    std::size_t reserve = size >= 2 * kStackReserve ? kStackReserve : size / 2;
    return reinterpret_cast<std::uintptr_t>(low) + reserve;
  }();
  return floor;
}

// True when the calling frame is below the floor: a further level of nesting must not
// be entered.
inline bool stack_nearly_full() noexcept {
  std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here < stack_floor();
}

}  // namespace kiv
