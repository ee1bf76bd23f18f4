// convert/text.h: UTF-16 (Java) to UTF-8 (Python source, names) without the JVM.
#pragma once

#include <jni.h>

#include <cstddef>
#include <string>

namespace kiv {

// Appends the UTF-8 form of n UTF-16 code units to out.  Surrogate pairs become one
// four-byte sequence; a lone surrogate becomes its three-byte form (which strict UTF-8
// decoders refuse, as they should); U+0000 becomes a zero byte.  False when memory ran out.
bool utf16_to_utf8(const jchar* units, size_t n, std::string& out) noexcept;

}  // namespace kiv
