# Shared by the scripts: installs missing Debian packages and fails loudly.
set -euo pipefail

die() { echo "error: $*" >&2; exit 1; }

OKR_APT_UPDATED=${OKR_APT_UPDATED:-}

# need_arch ARCH: lets apt install ARCH's packages (NAME:ARCH) beside the
# machine's own.
need_arch() {
  [ "$(dpkg --print-architecture)" = "$1" ] && return 0
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  echo "adding architecture: $1"
  dpkg --add-architecture "$1" || die "dpkg --add-architecture $1 failed"
  OKR_APT_UPDATED=  # the new architecture's package lists are still to be fetched
}

# need PKG...: installs whichever of the packages is missing; PKG may name
# another architecture's package (libbenchmark-dev:i386).
need() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null || die "apt-get not found; install: ${missing[*]}"
  for pkg in "${missing[@]}"; do
    if [[ $pkg == *:* ]]; then need_arch "${pkg##*:}"; fi
  done
  if [ -z "$OKR_APT_UPDATED" ]; then
    apt-get update -qq || die "apt-get update failed"
    OKR_APT_UPDATED=1
  fi
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || die "apt-get install failed for: ${missing[*]}"
}

OKR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OKR_JOBS=$(nproc 2>/dev/null || echo 2)
