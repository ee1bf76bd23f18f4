#!/usr/bin/env bash
# Checks that the library exports every name in the given list, and no C++ names.
set -euo pipefail
lib=$1
list=$2
actual=$(nm -D --defined-only "$lib" | awk 'NF >= 3 {print $NF}' | LC_ALL=C sort -u)
missing=$(LC_ALL=C comm -23 <(grep -v '^#' "$list" | grep -v '^$' | LC_ALL=C sort -u) <(echo "$actual"))
status=0
if [ -n "$missing" ]; then
  echo "Not exported by $lib:"
  echo "$missing"
  status=1
fi
mangled=$(echo "$actual" | grep '^_Z' || true)
if [ -n "$mangled" ]; then
  echo "C++ names leak from $lib (give them hidden visibility):"
  echo "$mangled" | head -20
  status=1
fi
expected=$(grep -v '^#' "$list" | grep -vc '^$')
echo "checked $expected names against $lib"
exit $status
