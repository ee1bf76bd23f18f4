// convert/jtype.h: the Java type codes, which classify a Java class for a switch.
#pragma once

enum : int {
  JTYPE_BOOLEAN = 0,
  JTYPE_INT = 1,
  JTYPE_LONG = 2,
  JTYPE_OBJECT = 3,
  JTYPE_STRING = 4,
  JTYPE_VOID = 5,
  JTYPE_DOUBLE = 6,
  JTYPE_SHORT = 7,
  JTYPE_FLOAT = 8,
  JTYPE_ARRAY = 9,
  JTYPE_CHAR = 10,
  JTYPE_BYTE = 11,
  JTYPE_CLASS = 12,
};

namespace kiv {

// Whether values of this type code are JNI references (which need a local frame).
constexpr bool is_reference_type(int code) noexcept {
  return code == JTYPE_OBJECT || code == JTYPE_STRING || code == JTYPE_ARRAY || code == JTYPE_CLASS;
}

}  // namespace kiv
