#!/usr/bin/env bash
# scripts/install-prefix.sh BUILD PREFIX: installs the build tree BUILD under
# PREFIX. Installed programs are relinked for their place (the preinstall
# target) rather than edited in place, which would need an empty run-path entry
# in the build tree's programs; the relinked copies are what the install takes.
# Installs from one build tree run one at a time (the tests install too).
set -euo pipefail
build=${1:?usage: install-prefix.sh BUILD PREFIX}
prefix=${2:?usage: install-prefix.sh BUILD PREFIX}
exec 9>"$build/.install.lock"
flock 9
cmake --build "$build" --target preinstall >/dev/null
cmake --install "$build" --prefix "$prefix"
