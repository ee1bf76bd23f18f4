// embed/version.cpp: the check that the running CPython is the one Kiv was built for.
#include <cstdio>
#include <cstring>
#include <string>

#include "embed/version.h"

namespace kiv {

// The version string starts with "major.minor" (then ".micro", "rc1", "+", " (main..."):
// read the leading digits, one separator, then the minor digits.  A version without a
// minor number (or not starting with digits) is a mismatch.
bool python_version_ok(const char* version, char* msg, size_t msglen) noexcept {
  std::string major, minor;
  const char* p = version ? version : "";
  while (*p >= '0' && *p <= '9') major.push_back(*p++);
  if (*p) {
    ++p;
    while (*p >= '0' && *p <= '9') minor.push_back(*p++);
  }
  if (major == "3" && minor == "12") return true;
  if (msg && msglen) {
    std::snprintf(msg, msglen,
                  "Kiv will not initialize because it was compiled against Python %i.%i but is running "
                  "against Python %s.%s",
                  3, 12, major.c_str(), minor.c_str());
  }
  return false;
}

}  // namespace kiv
