#!/usr/bin/env bash
# Creates or refreshes a virtual environment with the given requirement files installed.
# A stamp keyed on the interpreter and on the files' contents makes a second run a no-op.
#
#   scripts/venv.sh PYTHON VENV_DIR REQUIREMENTS...
set -euo pipefail

python=$1 venv=$2
shift 2

key=$( {
  readlink -f "$python"
  "$python" -c 'import sys; print(sys.version)'
  for f in "$@"; do printf '%s\n' "$f"; cat "$f"; done
} | sha256sum | cut -d' ' -f1)
stamp=$venv/.requirements.sha256

if [[ -x $venv/bin/python && -f $stamp && $(<"$stamp") == "$key" ]] &&
   "$venv/bin/python" -c '' 2>/dev/null; then
  exit 0
fi

if ! "$venv/bin/python" -c '' 2>/dev/null ||
   [[ $(readlink -f "$venv/bin/python") != $(readlink -f "$python") ]]; then
  printf 'venv: creating %s with %s\n' "$venv" "$python" >&2
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
printf 'venv: installing %s into %s\n' "$*" "$venv" >&2
reqs=()
for f in "$@"; do reqs+=(-r "$f"); done
"$venv/bin/python" -m pip install --quiet "${reqs[@]}"
printf '%s\n' "$key" >"$stamp"
