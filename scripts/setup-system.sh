#!/usr/bin/env bash
# Installs the Debian packages the build needs. Does nothing, and touches no network, when they
# are all present already, so every make target can call it.
#
#   scripts/setup-system.sh [--force] [PACKAGE...]
#     --force: go through apt even if everything is installed
#     PACKAGE: install these instead of the build's own list
#
# rapidfuzz-cpp is not packaged before Debian 13 "trixie". When a package has no install candidate
# from the configured sources, trixie is added as an extra source pinned at priority 100, so that
# nothing is ever upgraded from it unless asked for by name with -t trixie.
set -euo pipefail

PACKAGES=(g++ cmake ninja-build pkg-config libicu-dev libgtest-dev librapidfuzz-cpp-dev)
FALLBACK_SUITE=trixie
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

force=0
if [[ ${1:-} == --force ]]; then force=1; shift; fi
if (($#)); then
  PACKAGES=("$@")
elif /usr/bin/python3 -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
  # Where the system's own Python is recent enough (Debian 13 on), it can build and test the module.
  PACKAGES+=(python3-dev python3-venv)
fi

log() { printf 'setup-system: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

if ! command -v dpkg-query >/dev/null 2>&1; then
  log "not a Debian system; make sure these (or their equivalents) are installed: ${PACKAGES[*]}"
  exit 0
fi

installed() {
  [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]
}

missing=()
for p in "${PACKAGES[@]}"; do
  if ((force)) || ! installed "$p"; then missing+=("$p"); fi
done
((${#missing[@]} == 0)) && exit 0

SUDO=()
if ((EUID != 0)); then
  command -v sudo >/dev/null 2>&1 || die "missing packages (${missing[*]}) and not root; install them"
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
APT_GET=("${SUDO[@]}" apt-get -y -q -o Dpkg::Use-Pty=0)

candidate() {
  apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }'
}
has_candidate() {
  local c
  c=$(candidate "$1")
  [[ -n $c && $c != "(none)" ]]
}

log "installing: ${missing[*]}"
"${APT_GET[@]}" update

normal=() fallback=()
for p in "${missing[@]}"; do
  if has_candidate "$p"; then normal+=("$p"); else fallback+=("$p"); fi
done
if ((${#normal[@]})); then
  "${APT_GET[@]}" install --no-install-recommends "${normal[@]}"
fi
((${#fallback[@]} == 0)) && exit 0

# The archive URI the machine already uses for its own Debian release, so a local mirror keeps
# serving.
debian_uri() {
  local codename uri=""
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  if [[ -n $codename ]]; then
    if compgen -G "${SOURCEPARTS}*.sources" >/dev/null; then
      uri=$(awk -v RS= -v code="$codename" '{
              n = split($0, line, "\n"); uri = ""; ok = 0
              for (i = 1; i <= n; i++) {
                m = split(line[i], f, " ")
                if (f[1] == "URIs:") uri = f[2]
                if (f[1] == "Suites:") for (j = 2; j <= m; j++) if (f[j] == code) ok = 1
              }
              if (ok && uri != "") { print uri; exit }
            }' "${SOURCEPARTS}"*.sources)
    fi
    if [[ -z $uri && -f $SOURCELIST ]]; then
      uri=$(awk -v code="$codename" '$1 == "deb" {
              for (i = 3; i <= NF; i++) if ($i == code) { print $(i - 1); exit }
            }' "$SOURCELIST")
    fi
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

eval "$(apt-config shell SOURCELIST Dir::Etc::sourcelist/f SOURCEPARTS Dir::Etc::sourceparts/d \
  PREFPARTS Dir::Etc::preferencesparts/d)"
sources_file="${SOURCEPARTS}${FALLBACK_SUITE}.sources"
prefs_file="${PREFPARTS}${FALLBACK_SUITE}-low"
[[ -f $KEYRING ]] || die "${fallback[*]}: no install candidate, and $KEYRING is missing to add $FALLBACK_SUITE"

if ! grep -rqs "^Suites:.*\b${FALLBACK_SUITE}\b\|^deb .* ${FALLBACK_SUITE} " \
     "$SOURCEPARTS" "$SOURCELIST"; then
  log "no candidate for ${fallback[*]}; adding $FALLBACK_SUITE as a low-priority source ($sources_file)"
  printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$(debian_uri)" "$FALLBACK_SUITE" "$KEYRING" | "${SUDO[@]}" tee "$sources_file" >/dev/null
fi
if ! grep -rqs "n=${FALLBACK_SUITE}\b" "$PREFPARTS"; then
  printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n' "$FALLBACK_SUITE" |
    "${SUDO[@]}" tee "$prefs_file" >/dev/null
fi
"${APT_GET[@]}" update
for p in "${fallback[@]}"; do
  has_candidate "$p" || die "$p: no install candidate, not even from $FALLBACK_SUITE"
done
"${APT_GET[@]}" install --no-install-recommends -t "$FALLBACK_SUITE" "${fallback[@]}"
