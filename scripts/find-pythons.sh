#!/usr/bin/env bash
# Lists the interpreters the module can be built and tested for, one "<version> <path>" a line,
# at most one per minor version, in order of preference (the first serves the demo and benchmarks).
#
# Candidates: $PYTHONS if set (paths separated by blanks), otherwise python3.13, python3.12 and
# python3.14 in /usr/bin, then every $PYENV_ROOT/versions/*/bin/python3. pyenv's shims are
# avoided on purpose: they resolve by the current directory's pyenv settings, not by their name.
# Kept: CPython >= 3.12 with the GIL (the module relies on it), its headers and venv.
set -euo pipefail

candidates=()
if [[ -n ${PYTHONS:-} ]]; then
  read -r -a candidates <<<"$PYTHONS"
else
  for v in 3.13 3.12 3.14; do candidates+=("/usr/bin/python$v"); done
  pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  if [[ -d $pyenv_root/versions ]]; then
    while IFS= read -r p; do candidates+=("$p"); done < <(
      ls -d "$pyenv_root"/versions/*/bin/python3 2>/dev/null | sort -V)
  fi
fi

probe='
import os, sys, sysconfig
if sys.implementation.name != "cpython" or sys.version_info < (3, 12):
    sys.exit("not CPython >= 3.12")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    sys.exit("free-threaded build")
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    sys.exit("no Python.h (install the -dev package)")
try:
    import venv, ensurepip  # noqa: F401
except ImportError:
    sys.exit("no venv/ensurepip (install the -venv package)")
print("%d.%d" % sys.version_info[:2])
'

declare -A seen=()
for p in "${candidates[@]}"; do
  [[ -x $p ]] || continue
  if ! version=$("$p" -c "$probe" 2>&1); then
    [[ -n ${PYTHONS:-} || $version != "not CPython >= 3.12" ]] &&
      printf 'find-pythons: skipping %s: %s\n' "$p" "$version" >&2
    continue
  fi
  [[ -n ${seen[$version]:-} ]] && continue
  seen[$version]=1
  printf '%s %s\n' "$version" "$p"
done
