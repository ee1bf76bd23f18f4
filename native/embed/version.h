// embed/version.h: the check that the running CPython is the one Kiv was built for.
#pragma once

#include <cstddef>

namespace kiv {

// True for a version string of 3.12 (any micro release or pre-release); otherwise
// false with the start-up error text written to msg.
bool python_version_ok(const char* version, char* msg, size_t msglen) noexcept;

}  // namespace kiv
