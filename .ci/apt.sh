# Package installs for CI that a registry hiccup does not stop (sourced by .ci/run).
#
# A mirror in the middle of a sync serves an index whose size does not match its release file;
# apt-get update then exits 100 for that one index. The lists it did get are still good, so the
# run goes on and lets the installs decide. With an index missing, the newest version of a
# package may exist for one architecture only, and multiarch packages (wine32:i386 beside the
# amd64 libraries) must match: the installs then prefer the release's own versions, which every
# architecture has.

# Every apt-get call waits for the package lock held by another apt (up to 10 minutes) rather
# than failing on it, and tries a failed download again.
apt_get() {
  apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
}

apt_release_first=()

apt_update() {
  local try
  for try in 1 2 3; do
    apt_get update && return 0
    ((try < 3)) && sleep 10
  done
  local codename
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [[ -n "$codename" ]] && apt_release_first=(-t "$codename")
  echo "ci: apt-get update failed 3 times; going on with the lists it has${codename:+, preferring the versions of release $codename}"
}

# What the run needs: when it cannot be installed, one line names what and the run fails.
apt_install_required() {
  apt_get install -y --no-install-recommends "${apt_release_first[@]}" "$@" && return 0
  local package missing=()
  for package in "$@"; do
    apt_get install -s "${apt_release_first[@]}" "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  echo "ci: cannot install what the run needs: ${missing[*]:-$* (apt-get failed; see above)}" >&2
  exit 1
}

# What the run can do without: true when installed; otherwise one line says so.
apt_install_optional() {
  local what="$1"
  shift
  apt_get install -y --no-install-recommends "${apt_release_first[@]}" "$@" && return 0
  if ((${#apt_release_first[@]} == 0)); then
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    [[ -n "$codename" ]] && apt_get install -y --no-install-recommends -t "$codename" "$@" && return 0
  fi
  echo "ci: cannot install $* ($what); going on without it"
  return 1
}
