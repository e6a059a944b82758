#!/usr/bin/env bash
# Builds a binary wheel for every supported interpreter found (see find-pythons.sh), repairs it
# into a manylinux wheel in dist/ (auditwheel copies ICU into it), then installs that wheel into a
# fresh venv and runs the Python tests against it with the system's ICU hidden, so that only the
# copies inside the wheel can serve.
#
#   scripts/build-wheel.sh [pytest arguments...]
# Environment: PYTHONS (interpreters to build for), MODULE_SETTINGS (scikit-build-core settings).
set -euo pipefail
cd "$(dirname "$0")/.."

section() { printf '\n=== %s ===\n' "$*"; }
die() { printf 'build-wheel: %s\n' "$*" >&2; exit 1; }

mapfile -t found < <(bash scripts/find-pythons.sh)
((${#found[@]})) || die "no supported interpreter found (see scripts/find-pythons.sh)"
read -r -a settings <<<"${MODULE_SETTINGS:-}"
mkdir -p dist

# Runs "$@" in a mount namespace where every ICU library of the system reads as an empty file.
# Prints nothing and fails when namespaces are not available (no root, no user namespaces).
without_system_icu() {
  local libs=() lib
  while read -r lib; do libs+=("$(readlink -f "$lib")"); done < <(
    ldconfig -p | awk '/libicu/ { print $NF }')
  local mounts=""
  for lib in "${libs[@]}"; do mounts+="mount --bind /dev/null '$lib' && "; done
  local unshare=(unshare --mount --propagation private)
  ((EUID == 0)) || unshare+=(--map-root-user)
  "${unshare[@]}" true 2>/dev/null || return 2
  "${unshare[@]}" bash -c "$mounts exec \"\$@\"" bash "$@"
}

for entry in "${found[@]}"; do
  read -r version python <<<"$entry"
  tag=cp${version/./}
  section "wheel for Python $version ($python)"
  tools=.venvs/wheel$version
  bash scripts/venv.sh "$python" "$tools" scripts/build-requirements.txt scripts/wheel-requirements.txt
  raw=build/wheel/raw$version
  rm -rf "$raw" && mkdir -p "$raw"
  rm -f dist/veskal-*-"$tag"-"$tag"-*.whl
  opts=(-C "build-dir=build/wheel/py$version")
  for s in "${settings[@]}"; do opts+=(-C "$s"); done
  "$tools/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps "${opts[@]}" -w "$raw" .
  # auditwheel picks the oldest manylinux tag whose policy the module's symbols allow.
  PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir dist "$raw"/veskal-*.whl
  wheel=$(ls dist/veskal-*-"$tag"-"$tag"-manylinux*.whl)
  "$tools/bin/auditwheel" show "$wheel"
  printf 'build-wheel: %s: %s bytes\n' "$wheel" "$(stat -c %s "$wheel")"
  "$tools/bin/python" -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(f"  {i.file_size:10}  {i.filename}")' "$wheel"

  section "tests against the installed wheel (Python $version)"
  venv=build/wheel/venv$version
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet -r tests/requirements.txt "$wheel"
  # The installed module must load ICU from the wheel, not from the system.
  "$venv/bin/python" - <<'EOF'
import pathlib, veskal
libs = [l.split()[-1] for l in pathlib.Path("/proc/self/maps").read_text().splitlines() if "libicu" in l]
assert libs and all("/veskal.libs/" in l for l in libs), sorted(set(libs))
print("build-wheel: veskal", veskal.__version__, "loads ICU from", sorted(set(libs))[0].rsplit("/", 1)[0])
EOF
  if without_system_icu true; then
    echo "build-wheel: the system's ICU libraries are hidden for this run"
    without_system_icu "$venv/bin/python" -m pytest "$@"
  else
    echo "build-wheel: cannot hide the system's ICU here (no mount namespace); see auditwheel show"
    "$venv/bin/python" -m pytest "$@"
  fi
done
