#!/usr/bin/env bash
# Runs the Python tests against the module built for every supported interpreter on the machine
# (see find-pythons.sh), each in its own venv .venvs/<version> and build directory build/py<version>.
# Every interpreter is tested even when an earlier one fails; the exit status is 1 if any failed.
#
#   scripts/test-python.sh [pytest arguments...]
# Environment: PYTHONS (interpreters to use), MODULE_SETTINGS (extra scikit-build-core settings).
set -uo pipefail
cd "$(dirname "$0")/.."

section() { printf '\n=== %s ===\n' "$*"; }

mapfile -t found < <(bash scripts/find-pythons.sh)
if ((${#found[@]} == 0)); then
  echo "test-python: no supported interpreter found: need CPython >= 3.12 (with the GIL) with its" \
    "headers and venv, as python3.12/3.13/3.14 in /usr/bin or under \$PYENV_ROOT/versions," \
    "or name them in PYTHONS=..." >&2
  exit 1
fi

read -r -a settings <<<"${MODULE_SETTINGS:-}"
failed=()
for entry in "${found[@]}"; do
  read -r version python <<<"$entry"
  venv=.venvs/$version
  section "Python $version tests ($python)"
  if ! bash scripts/venv.sh "$python" "$venv" tests/requirements.txt scripts/build-requirements.txt ||
     ! bash scripts/install-module.sh "$venv" "build/py$version" "${settings[@]}"; then
    echo "test-python: could not set up $venv" >&2
    failed+=("$version (set-up)")
    continue
  fi
  "$venv/bin/pytest" "$@"
  rc=$?
  case $rc in
    0) ;;
    5) echo "test-python: pytest collected no tests for Python $version" >&2
       failed+=("$version (no tests)") ;;
    *) failed+=("$version") ;;
  esac
done

if ((${#failed[@]})); then
  printf '\ntest-python: FAILED for Python %s\n' "${failed[@]}" >&2
  exit 1
fi
