# Shared by the scripts: installs missing Debian packages and fails loudly.
set -euo pipefail

die() { echo "error: $*" >&2; exit 1; }

OKR_APT_UPDATED=${OKR_APT_UPDATED:-}

# need PKG...: installs whichever of the packages is missing. A package of
# another architecture (wine32:i386) first gets that architecture added to
# dpkg's foreign ones, and then a package list that holds it.
need() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null || die "apt-get not found; install: ${missing[*]}"
  for pkg in "${missing[@]}"; do
    if [[ $pkg == *:* ]]; then add_architecture "${pkg##*:}"; fi
  done
  if [ -z "$OKR_APT_UPDATED" ]; then
    apt-get update -qq || die "apt-get update failed"
    OKR_APT_UPDATED=1
  fi
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || die "apt-get install failed for: ${missing[*]}"
}

# add_architecture ARCH: dpkg installs packages of ARCH from now on; the
# package lists are read again before the next install.
add_architecture() {
  [ "$1" = "$(dpkg --print-architecture)" ] && return 0
  dpkg --print-foreign-architectures | grep -x "$1" >/dev/null && return 0
  echo "adding the $1 architecture"
  dpkg --add-architecture "$1" || die "dpkg --add-architecture $1 failed"
  OKR_APT_UPDATED=
}

OKR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Parallel jobs of every build and test run; set OKR_JOBS to use fewer cores.
OKR_JOBS=${OKR_JOBS:-$(nproc 2>/dev/null || echo 2)}
