#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a program against it with
# pkg-config, as a user of the installed library would.
set -euo pipefail
src=$1
build=$2
if grep -q '^TQHSM_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "sanitizer build: the install check runs in the normal build"; exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bash "$src/scripts/install-prefix.sh" "$build" "$tmp/prefix" >/dev/null
cat > "$tmp/main.cpp" <<'CPP'
#include <tqhsm/TQHSMHelper.h>
int main() {
  TQHSMHelperInitArgs args;
  TQHSMHelper* helper = new TQHSMHelper(args);
  helper->PrintHSMRules();
  delete helper;
  return 0;
}
CPP
libdir=$(ls -d "$tmp/prefix"/lib*/pkgconfig | head -1)
export PKG_CONFIG_PATH=$libdir
g++ -std=c++17 -Wall -Werror "$tmp/main.cpp" -o "$tmp/main" $(pkg-config --cflags --libs tqhsm)
TQHSM_LOG=$tmp/log LD_LIBRARY_PATH=$(dirname "$libdir") "$tmp/main"
# The log writes the rules' tabs as \t escapes, like every control character.
for want in 'TQHSMHelper::PrintHSMRules SUBLCIENT SETTINGS' \
            'TQHSMHelper::PrintHSMRules \tRules Flag\t\t:8192' \
            'TQHSMHelper::PrintHSMRules \tUseAllRules\t\t:TRUE' \
            'TQHSMHelper::PrintHSMRules \tDoNotCreateStub\t\t:FALSE' \
            'TQHSMHelper::PrintHSMRules \tHonor Archiver Retention:\t:No'; do
  grep -qF -- "$want" "$tmp/log" || { echo "missing in log: $want"; cat "$tmp/log"; exit 1; }
done
if grep -q DeleteStubAfterNDatys "$tmp/log"; then echo "unexpected DeleteStubAfterNDatys line"; exit 1; fi
# Only the API is exported from the shared object.
so=$(ls "$(dirname "$libdir")"/libtqhsm.so.* | head -1)
if nm -D --defined-only "$so" | grep -q ' T .*getMountsToMonitor'; then echo "internal symbol exported"; exit 1; fi
readelf -d "$so" | grep -q 'SONAME.*libtqhsm.so.0' || { echo "no versioned SONAME"; exit 1; }
# No program, installed or in the build tree, has an empty run-path entry: the
# loader would look for its libraries in whatever the current directory is.
for prog in "$tmp/prefix/bin"/* "$build"/tqhsm-*; do
  [ -f "$prog" ] && [ -x "$prog" ] || continue
  rp=$(readelf -d "$prog" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  case ":$rp:" in
    ::) ;;
    *::*) echo "empty run-path entry in $prog: [$rp]"; exit 1 ;;
  esac
done
# The CMake package is usable too.
mkdir "$tmp/cm"
cat > "$tmp/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.18)
project(user CXX)
find_package(tqhsm REQUIRED)
add_executable(user ../main.cpp)
target_link_libraries(user tqhsm::tqhsm)
CM
cmake -S "$tmp/cm" -B "$tmp/cm/b" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cm/b" >/dev/null
echo "install check passed"
