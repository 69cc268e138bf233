#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when they
# are missing. Runs apt-get update at most once.
set -euo pipefail
packages=(cmake make g++ pkg-config libinih-dev libsqlite3-dev sqlite3 libexpat1-dev zlib1g-dev libtirpc-dev libssl-dev openssl
          libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          e2fsprogs attr acl strace valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
