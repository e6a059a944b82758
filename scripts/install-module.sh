#!/usr/bin/env bash
# Builds the module with pip and scikit-build-core into a venv that already has scikit-build-core,
# keeping CMake's build directory so that rebuilds are incremental. Skipped altogether when no
# source file changed since the last install into that venv.
#
#   scripts/install-module.sh VENV_DIR BUILD_DIR [pip -C settings...]
set -euo pipefail

venv=$1 build_dir=$2
shift 2
stamp=$venv/.veskal-installed

# What an install depends on: the settings, the set of source files and their contents' age.
sources=(CMakeLists.txt pyproject.toml cmake include src binding)
key=$( {
  printf '%s\n' "$build_dir" "$@"
  find "${sources[@]}" -type f | LC_ALL=C sort
} | sha256sum | cut -d' ' -f1)

if [[ -f $stamp && $(<"$stamp") == "$key" ]] &&
   [[ -z $(find "${sources[@]}" -newer "$stamp" -print -quit) ]]; then
  exit 0
fi

settings=(-C "build-dir=$build_dir")
for s in "$@"; do settings+=(-C "$s"); done
printf 'install-module: building into %s (build dir %s)\n' "$venv" "$build_dir" >&2
# The stamp takes the time the build starts, so an edit made during the build is seen next time.
rm -f "$stamp"
printf '%s\n' "$key" >"$stamp.new"
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
  "${settings[@]}" .
mv "$stamp.new" "$stamp"
